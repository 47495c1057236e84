// Registration on Windows: the OPC category membership through the Windows component
// categories manager (ICatRegister), and the executable's full path for LocalServer32.
// The keys themselves are written by app/Registration through the registry store.
#pragma once

#include "app/CommandLine.h"
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

// /REGISTER and /UNREGISTER on the real registry (store: the registry store), with the
// category membership through the component categories manager; a TRegistrationRunner
// for ParseCommandLine. Needs COM initialised.
bool RunRegistration(dravon::IKeyValueStore& store, dravon::TRegistrationAction action);

// COM on the calling thread as a single-threaded apartment (the server's one thread)
// for the object's life.
class TComApartment {
public:
    TComApartment();
    ~TComApartment();
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;
    bool Initialized() const { return Initialized_; }

private:
    bool Initialized_ = false;
};

} // namespace dravon::com
