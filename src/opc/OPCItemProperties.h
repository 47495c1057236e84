// TOPCItemProperties: a server object's IOPCItemProperties (the server object forwards
// those methods here).
#pragma once

#include "opc/OPCInterfaces.h"

namespace dravon {

class TDA2;

class TOPCItemProperties {
public:
    explicit TOPCItemProperties(TDA2& server);
    TOPCItemProperties(const TOPCItemProperties&) = delete;
    TOPCItemProperties& operator=(const TOPCItemProperties&) = delete;

    TDA2& Server() const { return Server_; }

    HRESULT QueryAvailableProperties(const std::string& itemID, std::vector<std::uint32_t>& propertyIDs,
                                     std::vector<std::string>& descriptions, std::vector<VARTYPE>& dataTypes);
    HRESULT GetItemProperties(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                              std::vector<TVariant>& data, std::vector<HRESULT>& errors);
    HRESULT LookupItemIDs(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                          std::vector<std::string>& newItemIDs, std::vector<HRESULT>& errors);

private:
    TDA2& Server_;
};

} // namespace dravon
