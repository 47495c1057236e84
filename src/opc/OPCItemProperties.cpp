#include "opc/OPCItemProperties.h"

namespace dravon {

// Properties arrive with the address-space implementation.
TOPCItemProperties::TOPCItemProperties(TDA2& server) : Server_(server) {}

HRESULT TOPCItemProperties::QueryAvailableProperties(const std::string&, std::vector<std::uint32_t>& propertyIDs,
                                                     std::vector<std::string>& descriptions,
                                                     std::vector<VARTYPE>& dataTypes) {
    propertyIDs.clear();
    descriptions.clear();
    dataTypes.clear();
    return E_NOTIMPL;
}
HRESULT TOPCItemProperties::GetItemProperties(const std::string&, const std::vector<std::uint32_t>&,
                                              std::vector<TVariant>& data, std::vector<HRESULT>& errors) {
    data.clear();
    errors.clear();
    return E_NOTIMPL;
}
HRESULT TOPCItemProperties::LookupItemIDs(const std::string&, const std::vector<std::uint32_t>&,
                                          std::vector<std::string>& newItemIDs, std::vector<HRESULT>& errors) {
    newItemIDs.clear();
    errors.clear();
    return E_NOTIMPL;
}

} // namespace dravon
