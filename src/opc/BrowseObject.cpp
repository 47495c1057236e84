#include "opc/BrowseObject.h"

namespace dravon {

// Browsing arrives with the address-space implementation; until then nothing is browsable.
TBrowseObject::TBrowseObject(TDA2& server) : Server_(server) {}

HRESULT TBrowseObject::QueryOrganization(std::uint32_t& nameSpaceType) {
    nameSpaceType = OPC_NS_HIERARCHIAL;
    return E_NOTIMPL;
}
HRESULT TBrowseObject::ChangeBrowsePosition(std::uint32_t, const std::string&) { return E_NOTIMPL; }
HRESULT TBrowseObject::BrowseOPCItemIDs(std::uint32_t, const std::string&, VARTYPE, std::uint32_t,
                                        TComPtr<IEnumString>& names) {
    names.Reset();
    return E_NOTIMPL;
}
HRESULT TBrowseObject::GetItemID(const std::string&, std::string& itemID) {
    itemID.clear();
    return E_NOTIMPL;
}
HRESULT TBrowseObject::BrowseAccessPaths(const std::string&, TComPtr<IEnumString>& paths) {
    paths.Reset();
    return E_NOTIMPL;
}

} // namespace dravon
