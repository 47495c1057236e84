// TBrowseObject: a server object's browse position and IOPCBrowseServerAddressSpace
// (the server object forwards those methods here).
#pragma once

#include "opc/OPCInterfaces.h"

namespace dravon {

class TDA2;

class TBrowseObject {
public:
    explicit TBrowseObject(TDA2& server);
    TBrowseObject(const TBrowseObject&) = delete;
    TBrowseObject& operator=(const TBrowseObject&) = delete;

    TDA2& Server() const { return Server_; }

    HRESULT QueryOrganization(std::uint32_t& nameSpaceType);
    HRESULT ChangeBrowsePosition(std::uint32_t direction, const std::string& name);
    HRESULT BrowseOPCItemIDs(std::uint32_t browseType, const std::string& filter, VARTYPE dataTypeFilter,
                             std::uint32_t accessRightsFilter, TComPtr<IEnumString>& names);
    HRESULT GetItemID(const std::string& itemDataID, std::string& itemID);
    HRESULT BrowseAccessPaths(const std::string& itemID, TComPtr<IEnumString>& paths);

private:
    TDA2& Server_;
};

} // namespace dravon
