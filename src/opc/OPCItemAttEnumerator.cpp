#include "opc/OPCItemAttEnumerator.h"

#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCItemCollection.h"

#include <new>

namespace dravon {

TOPCItemAttEnumerator::TOPCItemAttEnumerator(TOPCGroup& group) : Group_(&group) {}

HRESULT TOPCItemAttEnumerator::QueryInterface(const TGuid& iid, IUnknown** object) {
    if (!object) return E_POINTER;
    if (iid == IUnknown::Iid || iid == IEnumOPCItemAttributes::Iid) {
        *object = static_cast<IEnumOPCItemAttributes*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT TOPCItemAttEnumerator::Next(std::uint32_t count, std::vector<TOPCItemAttributes>& items,
                                    std::uint32_t& fetched) {
    items.clear();
    fetched = 0;
    if (count == 0) return RPC_X_ENUM_VALUE_OUT_OF_RANGE;
    TOPCItemCollection& collection = Group_->Items();
    try {
        // Records are filled as far as items exist; an out-of-range count is not allocated up
        // front, so a huge request cannot exhaust memory.
        while (items.size() < count) {
            const TOPCItem* item = collection.At(Position_);
            if (!item) break;
            TOPCItemAttributes record;
            record.ItemID = item->ItemId;
            record.Active = item->Active ? -1 : 0;
            record.ClientHandle = item->ClientHandle;
            record.ServerHandle = item->ServerHandle();
            record.AccessRights = item->AccessRights();
            record.CanonicalDataType = static_cast<VARTYPE>(item->CanonicalType() & ~VT_ARRAY);
            // An item keeps 0 for "the canonical type"; a client is told which one.
            record.RequestedDataType =
                item->RequestedType != VT_EMPTY ? item->RequestedType : record.CanonicalDataType;
            record.EUType = item->EUType;
            record.EUInfo = TVariant::I4(0);
            items.push_back(std::move(record));
            ++Position_;
        }
    } catch (const std::bad_alloc&) {
        items.clear();
        return E_OUTOFMEMORY;
    }
    fetched = static_cast<std::uint32_t>(items.size());
    return fetched == count ? S_OK : RPC_X_ENUM_VALUE_OUT_OF_RANGE;
}

HRESULT TOPCItemAttEnumerator::Skip(std::uint32_t count) {
    const std::size_t total = Group_->Items().Count();
    if (Position_ > total || count > total - Position_) {
        Position_ = total;
        return S_FALSE;
    }
    Position_ += count;
    return S_OK;
}

HRESULT TOPCItemAttEnumerator::Reset() {
    Position_ = 0;
    return S_OK;
}

HRESULT TOPCItemAttEnumerator::Clone(TComPtr<IEnumOPCItemAttributes>& copy) {
    copy = MakeCom<TOPCItemAttEnumerator>(*Group_);
    return S_OK;
}

} // namespace dravon
