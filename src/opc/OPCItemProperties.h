// TOPCItemProperties: a server object's IOPCItemProperties (the server object forwards
// those methods here).
#pragma once

#include "opc/OPCInterfaces.h"

namespace dravon {

class TDA2;

struct TItemPropertyInfo {
    std::uint32_t Id;
    const char* Description;
};

class TOPCItemProperties {
public:
    static constexpr std::uint32_t PropCanonicalType = 1;
    static constexpr std::uint32_t PropValue = 2;
    static constexpr std::uint32_t PropQuality = 3;
    static constexpr std::uint32_t PropTimestamp = 4;
    static constexpr std::uint32_t PropAccessRights = 5;
    static constexpr std::uint32_t PropScanRate = 6;
    static constexpr std::uint32_t PropDescription = 101;
    static constexpr std::uint32_t PropTagValue = 5000;
    static constexpr std::uint32_t PropTagValueExtra = 5001;

    // The properties every resolvable item offers, in the order QueryAvailableProperties
    // lists them.
    static const std::vector<TItemPropertyInfo>& Table();

    explicit TOPCItemProperties(TDA2& server);
    TOPCItemProperties(const TOPCItemProperties&) = delete;
    TOPCItemProperties& operator=(const TOPCItemProperties&) = delete;

    TDA2& Server() const { return Server_; }

    HRESULT QueryAvailableProperties(const std::string& itemID, std::vector<std::uint32_t>& propertyIDs,
                                     std::vector<std::string>& descriptions, std::vector<VARTYPE>& dataTypes);
    // An empty property list is E_INVALIDARG (also for LookupItemIDs): a client that asks
    // for nothing gets told so rather than an empty success.
    HRESULT GetItemProperties(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                              std::vector<TVariant>& data, std::vector<HRESULT>& errors);
    HRESULT LookupItemIDs(const std::string& itemID, const std::vector<std::uint32_t>& propertyIDs,
                          std::vector<std::string>& newItemIDs, std::vector<HRESULT>& errors);

private:
    TDA2& Server_;
};

} // namespace dravon
