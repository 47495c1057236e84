#include "opc/OPCItemCollection.h"
#include "opc/OPCItemAttEnumerator.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCLog.h"
#include "plc/HitachiPLC.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"

#include <algorithm>

namespace dravon {

namespace {

constexpr VARTYPE TypeFlagsMask = 0xF000;
constexpr VARTYPE HighestType = 20;

// Gives back the references a resolution took when no item is made from it.
void DropResolved(const TResolveResult& resolved) {
    if (!resolved.Location) return;
    resolved.Location->AddRef();
    if (resolved.Location->PLC && resolved.Count > 1) {
        resolved.Location->PLC->ReleaseElements(*resolved.Location, resolved.Count);
    } else {
        resolved.Location->Release();
    }
}

} // namespace

TOPCItemCollection::TOPCItemCollection(TOPCGroup& group) : Group_(group) {}

TOPCItemCollection::~TOPCItemCollection() = default;

std::size_t TOPCItemCollection::Count() const { return Items_.size(); }

void TOPCItemCollection::Clear() {
    // Destroy outside the vector: an item's destructor must not see a half-cleared list.
    ++Version_;
    auto items = std::move(Items_);
    Items_.clear();
    Sorted_ = true;
    items.clear();
}

TOPCItem* TOPCItemCollection::Find(OPCHANDLE serverHandle) const {
    // Server handles are handed out in ascending order and items are appended, so the
    // list is normally sorted: a delivery of n items then costs n log n, not n squared.
    if (Sorted_) {
        auto it = std::lower_bound(Items_.begin(), Items_.end(), serverHandle,
                                   [](const auto& item, OPCHANDLE h) { return item->ServerHandle() < h; });
        return it != Items_.end() && (*it)->ServerHandle() == serverHandle ? it->get() : nullptr;
    }
    for (const auto& item : Items_)
        if (item->ServerHandle() == serverHandle) return item.get();
    return nullptr;
}

void TOPCItemCollection::Append(std::unique_ptr<TOPCItem> item) {
    ++Version_;
    // The process-wide handle counter may wrap: from then on this list is searched in order.
    if (!Items_.empty() && item->ServerHandle() <= Items_.back()->ServerHandle()) Sorted_ = false;
    Items_.push_back(std::move(item));
}

void TOPCItemCollection::CopyFrom(const TOPCItemCollection& source) {
    for (const auto& from : source.Items_) {
        THitachiLocation* location = from->Location();
        // The copy holds one more reference on the first location only: elements are not
        // carried (the copy is a plain one-element item).
        auto item = std::make_unique<TOPCItem>(&Group_, location, 1, Group_.Connections().NewItemHandle());
        item->ItemId = from->ItemId;
        item->ClientHandle = from->ClientHandle;
        item->RequestedType = from->RequestedType;
        from->HasLastSent = false;
        Append(std::move(item));
    }
}

HRESULT TOPCItemCollection::AddItems(const std::vector<TOPCItemDef>& items,
                                     std::vector<TOPCItemResult>& results, std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::AddItems";
    LogCallStart(ctx.Debug, Text);
    results.clear();
    errors.clear();
    if (items.empty()) {
        LogCallEnd(ctx.Debug, Text, E_INVALIDARG);
        return E_INVALIDARG;
    }
    results.assign(items.size(), TOPCItemResult{});
    errors.assign(items.size(), S_OK);
    Group_.Busy = true;
    bool unknownLogged = false;
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TOPCItemDef& def = items[i];
        HRESULT& error = errors[i];
        const TItemIdParts parts = ParseItemId(def.ItemID);
        if (def.ItemID.empty() || !parts.Valid) {
            error = OPC_E_INVALIDITEMID;
            result = S_FALSE;
            continue;
        }
        bool isArray = (def.RequestedDataType & TypeFlagsMask) == VT_ARRAY;
        int elementCount = isArray ? ctx.Settings.ArrayElementCount : 1;
        if (parts.ArrCount > 1) {
            isArray = true;
            elementCount = static_cast<int>(std::min<long long>(parts.ArrCount, MaxElementCount));
        }
        int stringLength = parts.AscCount >= 0
                               ? static_cast<int>(std::min<long long>(parts.AscCount, 4 * MaxElementCount))
                               : -1;
        std::string resolveId = WithoutEmptySuffix(parts.Trimmed);
        if (isArray && parts.ArrCount < 0) resolveId += ".arr." + std::to_string(elementCount);
        if ((def.RequestedDataType & VT_TYPEMASK) == VT_BSTR && parts.AscCount < 0) {
            stringLength = ctx.Settings.ArrayElementCount;
            resolveId += ".asc." + std::to_string(stringLength);
        }
        TResolveResult resolved;
        if (ctx.PLCs) resolved = ctx.PLCs->ResolveItemId(resolveId);
        if (!resolved.Location) {
            error = OPC_E_UNKNOWNITEMID;
            result = S_FALSE;
            if (!unknownLogged && ctx.Log) {
                ctx.Log->Add(
                    FormatText("Client tried to access non-existing location (%s...)", {LogText(def.ItemID)}),
                    false);
                unknownLogged = true;
            }
            continue;
        }
        const VARTYPE type = def.RequestedDataType & VT_TYPEMASK;
        if (type > HighestType) {
            DropResolved(resolved);
            error = OPC_E_BADTYPE;
            result = S_FALSE;
            continue;
        }
        if (type != VT_EMPTY) {
            const TVariant probe =
                resolved.Location->VarType == VT_BSTR ? TVariant::Bstr("vv") : TVariant::I4(1);
            TVariant converted;
            if (Failed(VariantChangeType(converted, probe, 0, type))) {
                DropResolved(resolved);
                error = OPC_E_BADTYPE;
                result = S_FALSE;
                continue;
            }
        }
        auto item = std::make_unique<TOPCItem>(&Group_, resolved.Location, resolved.Count,
                                               Group_.Connections().NewItemHandle());
        item->Signed = resolved.Signed;
        item->ElementCount = isArray ? elementCount : 1;
        item->StringLength = stringLength;
        item->ItemId = def.ItemID;
        item->Active = def.Active != 0;
        item->ClientHandle = def.ClientHandle;
        item->RequestedType = type;
        results[i].ServerHandle = item->ServerHandle();
        results[i].CanonicalDataType = item->CanonicalType();
        results[i].AccessRights = item->AccessRights();
        Append(std::move(item));
    }
    Group_.Busy = false;
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

HRESULT TOPCItemCollection::ValidateItems(const std::vector<TOPCItemDef>& items, std::int32_t,
                                          std::vector<TOPCItemResult>& results,
                                          std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::ValidateItems";
    LogCallStart(ctx.Debug, Text);
    results.clear();
    errors.clear();
    if (items.empty()) {
        LogCallEnd(ctx.Debug, Text, E_INVALIDARG);
        return E_INVALIDARG;
    }
    results.assign(items.size(), TOPCItemResult{});
    errors.assign(items.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TOPCItemDef& def = items[i];
        const TItemIdParts parts = ParseItemId(def.ItemID);
        if (def.ItemID.empty()) {
            errors[i] = OPC_E_INVALIDITEMID;
            result = S_FALSE;
            continue;
        }
        TResolveResult resolved;
        if (ctx.PLCs && parts.Valid) resolved = ctx.PLCs->ResolveItemId(def.ItemID);
        if (!resolved.Location) {
            errors[i] = OPC_E_UNKNOWNITEMID;
            result = S_FALSE;
            continue;
        }
        VARTYPE canonical = resolved.Location->VarTypeOf(resolved.Signed);
        if ((def.RequestedDataType & TypeFlagsMask) == VT_ARRAY || parts.ArrCount >= 0) canonical |= VT_ARRAY;
        if (parts.AscCount >= 0) canonical = VT_BSTR;
        results[i].CanonicalDataType = canonical;
        results[i].AccessRights = static_cast<std::uint32_t>(resolved.Location->AccessRights);
        // Validation holds nothing: locations it created go with the next purge.
        DropResolved(resolved);
    }
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

HRESULT TOPCItemCollection::RemoveItems(const std::vector<OPCHANDLE>& serverHandles,
                                        std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::RemoveItems";
    LogCallStart(ctx.Debug, Text);
    errors.clear();
    if (serverHandles.empty()) {
        LogCallEnd(ctx.Debug, Text, E_INVALIDARG);
        return E_INVALIDARG;
    }
    errors.assign(serverHandles.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        TOPCItem* found = Find(serverHandles[i]);
        auto it =
            std::find_if(Items_.begin(), Items_.end(), [&](const auto& item) { return item.get() == found; });
        if (!found || it == Items_.end() || !(*it)->Location()) {
            errors[i] = OPC_E_INVALIDHANDLE;
            result = S_FALSE;
            continue;
        }
        auto doomed = std::move(*it);
        Items_.erase(it);
        ++Version_;
    }
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

HRESULT TOPCItemCollection::SetActiveState(const std::vector<OPCHANDLE>& serverHandles, std::int32_t active,
                                           std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::SetActiveState";
    LogCallStart(ctx.Debug, Text);
    errors.clear();
    if (serverHandles.empty()) {
        LogCallEnd(ctx.Debug, Text, E_INVALIDARG);
        return E_INVALIDARG;
    }
    errors.assign(serverHandles.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        TOPCItem* item = Find(serverHandles[i]);
        if (!item) {
            errors[i] = OPC_E_INVALIDHANDLE;
            result = S_FALSE;
            continue;
        }
        item->Active = active != 0;
        ++Version_;
    }
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

HRESULT TOPCItemCollection::SetClientHandles(const std::vector<OPCHANDLE>& serverHandles,
                                             const std::vector<OPCHANDLE>& clientHandles,
                                             std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::SetClientHandles";
    LogCallStart(ctx.Debug, Text);
    errors.clear();
    // A client handle list shorter than the item list would be read past its end.
    if (serverHandles.empty() || clientHandles.size() < serverHandles.size()) {
        LogCallEnd(ctx.Debug, Text, E_INVALIDARG);
        return E_INVALIDARG;
    }
    errors.assign(serverHandles.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        TOPCItem* item = Find(serverHandles[i]);
        if (!item) {
            errors[i] = OPC_E_INVALIDHANDLE;
            result = S_FALSE;
            continue;
        }
        item->ClientHandle = clientHandles[i];
    }
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

HRESULT TOPCItemCollection::SetDataTypes(const std::vector<OPCHANDLE>& serverHandles,
                                         const std::vector<VARTYPE>& requestedDataTypes,
                                         std::vector<HRESULT>& errors) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::SetDataTypes";
    LogCallStart(ctx.Debug, Text);
    errors.clear();
    if (serverHandles.empty() || requestedDataTypes.size() < serverHandles.size()) {
        LogCallEnd(ctx.Debug, Text, E_INVALIDARG);
        return E_INVALIDARG;
    }
    errors.assign(serverHandles.size(), S_OK);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < serverHandles.size(); ++i) {
        if ((requestedDataTypes[i] & VT_TYPEMASK) > HighestType) {
            errors[i] = OPC_E_BADTYPE;
            result = S_FALSE;
            continue;
        }
        TOPCItem* item = Find(serverHandles[i]);
        if (!item) {
            errors[i] = OPC_E_INVALIDHANDLE;
            result = S_FALSE;
            continue;
        }
        item->RequestedType = requestedDataTypes[i];
    }
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

HRESULT TOPCItemCollection::CreateEnumerator(const TGuid& iid, TComPtr<IUnknown>& enumerator) {
    TServerContext& ctx = Group_.Context();
    static constexpr const char* Text = "IOPCItemMgt::CreateEnumerator";
    LogCallStart(ctx.Debug, Text);
    enumerator = nullptr;
    HRESULT result = S_OK;
    if (iid != IEnumOPCItemAttributes::Iid) {
        result = E_INVALIDARG;
    } else if (Items_.empty()) {
        result = S_FALSE;
    } else {
        TComPtr<TOPCItemAttEnumerator> attributes = MakeCom<TOPCItemAttEnumerator>(Group_);
        IUnknown* raw = nullptr;
        result = attributes->QueryInterface(iid, &raw);
        if (Succeeded(result) && raw) enumerator = TComPtr<IUnknown>::Attach(raw);
    }
    LogCallEnd(ctx.Debug, Text, result);
    return result;
}

} // namespace dravon
