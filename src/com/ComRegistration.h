// Registration on Windows: the OPC category membership through the Windows component
// categories manager (ICatRegister), and the executable's full path for LocalServer32.
// The keys themselves are written by app/Registration through the registry store.
#pragma once

#include "app/Registration.h"

#include <string>

namespace dravon::com {

// Needs COM initialised on the calling thread.
class TCatRegister : public dravon::ICategoryRegistrar {
public:
    bool RegisterCategory(const std::string& catid, const std::string& description) override;
    bool RegisterClassImplemented(const std::string& clsid, const std::string& catid) override;
    bool UnregisterClassImplemented(const std::string& clsid, const std::string& catid) override;
};

// The full path of the running executable (UTF-8).
std::string ExecutablePath();

} // namespace dravon::com
