// TOPCItemCollection: the items of one group and the group's IOPCItemMgt methods (the
// group forwards them here). The group owns it; CloneGroup copies it; Detach clears it.
#pragma once

#include "opc/OPCInterfaces.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace dravon {

class TOPCGroup;
class TOPCItem;

class TOPCItemCollection {
public:
    explicit TOPCItemCollection(TOPCGroup& group);
    ~TOPCItemCollection();
    TOPCItemCollection(const TOPCItemCollection&) = delete;
    TOPCItemCollection& operator=(const TOPCItemCollection&) = delete;

    TOPCGroup& Group() const { return Group_; }
    std::size_t Count() const;
    // Frees every item (releasing its location references).
    void Clear();
    // CloneGroup: a new item per source item, in order, with a new server handle.
    void CopyFrom(const TOPCItemCollection& source);

    HRESULT AddItems(const std::vector<TOPCItemDef>& items, std::vector<TOPCItemResult>& results,
                     std::vector<HRESULT>& errors);
    HRESULT ValidateItems(const std::vector<TOPCItemDef>& items, std::int32_t blobUpdate,
                          std::vector<TOPCItemResult>& results, std::vector<HRESULT>& errors);
    HRESULT RemoveItems(const std::vector<OPCHANDLE>& serverHandles, std::vector<HRESULT>& errors);
    HRESULT SetActiveState(const std::vector<OPCHANDLE>& serverHandles, std::int32_t active,
                           std::vector<HRESULT>& errors);
    HRESULT SetClientHandles(const std::vector<OPCHANDLE>& serverHandles,
                             const std::vector<OPCHANDLE>& clientHandles, std::vector<HRESULT>& errors);
    HRESULT SetDataTypes(const std::vector<OPCHANDLE>& serverHandles,
                         const std::vector<VARTYPE>& requestedDataTypes, std::vector<HRESULT>& errors);
    HRESULT CreateEnumerator(const TGuid& iid, TComPtr<IUnknown>& enumerator);

    // Changes whenever items are added, removed or (de)activated: the update cycle knows
    // from it whether a walk it made still covers the list.
    std::uint64_t Version() const { return Version_; }

    // The item with this server handle (first match), or null.
    TOPCItem* Find(OPCHANDLE serverHandle) const;
    // Item by position; null past the end (the list may shrink inside a client callback).
    // Inline: the update cycle walks every item of every group on the server tick.
    TOPCItem* At(std::size_t index) const { return index < Items_.size() ? Items_[index].get() : nullptr; }

private:
    void Append(std::unique_ptr<TOPCItem> item);

    TOPCGroup& Group_;
    std::vector<std::unique_ptr<TOPCItem>> Items_;
    bool Sorted_ = true; // ascending server handles
    std::uint64_t Version_ = 0;
};

} // namespace dravon
