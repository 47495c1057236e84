#include "opc/OPCItemProperties.h"

#include "app/ServerContext.h"
#include "opc/DA2.h"
#include "opc/OPCItem.h"
#include "opc/OPCLog.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"

#include <new>

namespace dravon {

namespace {

constexpr const char* QueryText = "IOPCItemProperties::QueryAvailableProperties";
constexpr const char* GetText = "IOPCItemProperties::GetItemProperties";
constexpr const char* LookupText = "IOPCItemProperties::LookupItemIDs";

// Resolves an item ID the way AddItems does and gives back the reference the resolver
// handed over: the property calls only look, they hold nothing.
class TResolvedItem {
public:
    TResolvedItem(TServerContext& ctx, const std::string& itemID) {
        const TItemIdParts parts = ParseItemId(itemID);
        if (ctx.PLCs && parts.Valid) Resolved_ = ctx.PLCs->ResolveItemId(itemID);
    }
    ~TResolvedItem() {
        if (!Resolved_.Location) return;
        Resolved_.Location->AddRef();
        if (Resolved_.Location->PLC && Resolved_.Count > 1)
            Resolved_.Location->PLC->ReleaseElements(*Resolved_.Location, Resolved_.Count);
        else
            Resolved_.Location->Release();
    }
    TResolvedItem(const TResolvedItem&) = delete;
    TResolvedItem& operator=(const TResolvedItem&) = delete;

    THitachiLocation* Location() const { return Resolved_.Location; }
    VARTYPE CanonicalType() const { return Resolved_.Location->VarTypeOf(Resolved_.Signed); }

private:
    TResolveResult Resolved_;
};

TVariant ValueOf(const TResolvedItem& item) {
    const THitachiLocation& location = *item.Location();
    const VARTYPE type = item.CanonicalType();
    if (type == VT_BSTR) return TVariant::Bstr(location.StringValue);
    return TOPCItem::RawToVariant(location.GetValue(), type);
}

} // namespace

TOPCItemProperties::TOPCItemProperties(TDA2& server) : Server_(server) {}

const std::vector<TItemPropertyInfo>& TOPCItemProperties::Table() {
    static const std::vector<TItemPropertyInfo> table{
        {PropCanonicalType, "Item Canonical DataType"},
        {PropValue, "Item Value"},
        {PropAccessRights, "Item Access Rights"},
        {PropDescription, "Tag comment/description"},
        {PropTagValue, "Tag value"},
    };
    return table;
}

HRESULT TOPCItemProperties::QueryAvailableProperties(const std::string& itemID,
                                                     std::vector<std::uint32_t>& propertyIDs,
                                                     std::vector<std::string>& descriptions,
                                                     std::vector<VARTYPE>& dataTypes) {
    TServerContext& ctx = Server_.Context();
    LogCallStart(ctx.Debug, QueryText);
    propertyIDs.clear();
    descriptions.clear();
    dataTypes.clear();
    HRESULT hr = S_OK;
    if (itemID.empty()) {
        hr = E_INVALIDARG;
    } else {
        TResolvedItem item(ctx, itemID);
        if (!item.Location()) {
            hr = OPC_E_INVALIDITEMID;
        } else {
            try {
                for (const TItemPropertyInfo& info : Table()) {
                    propertyIDs.push_back(info.Id);
                    descriptions.emplace_back(info.Description);
                    VARTYPE type = item.CanonicalType();
                    if (info.Id == PropCanonicalType)
                        type = VT_I2;
                    else if (info.Id == PropAccessRights)
                        type = VT_I4;
                    else if (info.Id == PropDescription)
                        type = VT_BSTR;
                    dataTypes.push_back(type);
                }
            } catch (const std::bad_alloc&) {
                propertyIDs.clear();
                descriptions.clear();
                dataTypes.clear();
                hr = E_OUTOFMEMORY;
            }
        }
    }
    LogCallEnd(ctx.Debug, QueryText, hr);
    return hr;
}

HRESULT TOPCItemProperties::GetItemProperties(const std::string& itemID,
                                              const std::vector<std::uint32_t>& propertyIDs,
                                              std::vector<TVariant>& data, std::vector<HRESULT>& errors) {
    TServerContext& ctx = Server_.Context();
    LogCallStart(ctx.Debug, GetText);
    data.clear();
    errors.clear();
    HRESULT hr = S_OK;
    if (itemID.empty() || propertyIDs.empty()) {
        // Nothing asked for is a malformed request, not an empty success.
        hr = E_INVALIDARG;
    } else {
        TResolvedItem item(ctx, itemID);
        if (!item.Location()) {
            hr = OPC_E_INVALIDITEMID;
        } else {
            try {
                const THitachiLocation& location = *item.Location();
                data.reserve(propertyIDs.size());
                errors.reserve(propertyIDs.size());
                for (std::uint32_t id : propertyIDs) {
                    HRESULT error = S_OK;
                    TVariant value;
                    switch (id) {
                    case PropCanonicalType: value = TVariant::I4(item.CanonicalType()); break;
                    case PropValue:
                    case PropTagValue: value = ValueOf(item); break;
                    case PropQuality: value = TVariant::I4(location.Quality(ctx.Settings)); break;
                    case PropTimestamp: value = TVariant::Date(location.ValueTime); break;
                    case PropAccessRights: value = TVariant::I4(location.AccessRights); break;
                    case PropScanRate:
                    case PropTagValueExtra: value = TVariant::I4(0); break;
                    case PropDescription: value = TVariant::Bstr(location.ItemId); break;
                    default:
                        value = TVariant::I4(0);
                        error = OPC_E_INVALID_PID;
                        break;
                    }
                    data.push_back(std::move(value));
                    errors.push_back(error);
                }
            } catch (const std::bad_alloc&) {
                data.clear();
                errors.clear();
                hr = E_OUTOFMEMORY;
            }
        }
    }
    LogCallEnd(ctx.Debug, GetText, hr);
    return hr;
}

HRESULT TOPCItemProperties::LookupItemIDs(const std::string& itemID,
                                          const std::vector<std::uint32_t>& propertyIDs,
                                          std::vector<std::string>& newItemIDs,
                                          std::vector<HRESULT>& errors) {
    TServerContext& ctx = Server_.Context();
    LogCallStart(ctx.Debug, LookupText);
    newItemIDs.clear();
    errors.clear();
    HRESULT hr = S_OK;
    if (itemID.empty() || propertyIDs.empty()) {
        hr = E_INVALIDARG;
    } else {
        TResolvedItem item(ctx, itemID);
        if (!item.Location()) {
            hr = OPC_E_INVALIDITEMID;
        } else {
            try {
                newItemIDs.assign(propertyIDs.size(), std::string());
                errors.assign(propertyIDs.size(), S_OK);
            } catch (const std::bad_alloc&) {
                newItemIDs.clear();
                errors.clear();
                hr = E_OUTOFMEMORY;
            }
        }
    }
    LogCallEnd(ctx.Debug, LookupText, hr);
    return hr;
}

} // namespace dravon
