#include "plc/AddressCollection.h"

#include "plc/InvalidPointer.h"
#include "plc/ItemId.h"

#include <algorithm>

namespace dravon {

namespace {
bool KeyLess(const THitachiLocation& location, int code, std::uint32_t address) {
    return location.Code < code || (location.Code == code && location.Address < address);
}
} // namespace

TAddressCollection::~TAddressCollection() { Clear(); }

void TAddressCollection::Clear() {
    // Last to first, so that a double word is freed before the word at its address.
    while (!Items_.empty()) Items_.pop_back();
}

THitachiLocation& TAddressCollection::Item(int index) const {
    if (index < 0 || index >= Count() || !Items_[static_cast<std::size_t>(index)]) throw TInvalidPointer();
    return *Items_[static_cast<std::size_t>(index)];
}

THitachiLocation& TAddressCollection::AddMemoryLocation(int code, std::uint32_t address, THitachiPLC* plc,
                                                        int row) {
    auto location = std::make_unique<THitachiLocation>();
    location->Code = code;
    location->Address = address;
    location->PLC = plc;
    location->TypeRow = row;
    location->AccessRights = AccessReadWrite;
    if (row >= 0 && row < MemoryTypeCount) location->VarType = MemoryTypes[row].VarType;
    auto at = std::lower_bound(
        Items_.begin(), Items_.end(), std::make_pair(code, address),
        [](const std::unique_ptr<THitachiLocation>& item, const std::pair<int, std::uint32_t>& key) {
            return KeyLess(*item, key.first, key.second);
        });
    return **Items_.insert(at, std::move(location));
}

THitachiLocation& TAddressCollection::AddVariable(const std::string& name, THitachiPLC* plc, bool isText) {
    auto location = std::make_unique<THitachiLocation>();
    location->Name = name;
    location->PLC = plc;
    location->AccessRights = AccessReadable;
    location->VarType = isText ? VarTypeBstr : VarTypeI4;
    Items_.push_back(std::move(location));
    return *Items_.back();
}

THitachiLocation* TAddressCollection::FindByName(std::string_view name) const {
    for (auto it = Items_.rbegin(); it != Items_.rend(); ++it)
        if (*it && SameTextIgnoringCase((*it)->Name, name)) return it->get();
    return nullptr;
}

THitachiLocation* TAddressCollection::FindLocation(int code, std::uint32_t address, bool isDoubleWord) const {
    auto it = std::lower_bound(
        Items_.begin(), Items_.end(), std::make_pair(code, address),
        [](const std::unique_ptr<THitachiLocation>& item, const std::pair<int, std::uint32_t>& key) {
            return KeyLess(*item, key.first, key.second);
        });
    for (; it != Items_.end() && (*it)->Code == code && (*it)->Address == address; ++it)
        if ((*it)->IsDoubleWord == isDoubleWord) return it->get();
    return nullptr;
}

int TAddressCollection::IndexOf(const THitachiLocation* location) const {
    for (std::size_t i = 0; i < Items_.size(); ++i)
        if (Items_[i].get() == location) return static_cast<int>(i);
    return -1;
}

int TAddressCollection::PurgeUnused() {
    int freed = 0;
    for (std::size_t i = Items_.size(); i-- > 0;) {
        // A location whose write is still on its way to the PLC stays until the write is
        // answered: freeing it would lose the write and leave the driver a dangling location.
        if (Items_[i]->RefCount < 1 && !Items_[i]->WritePending) {
            Items_.erase(Items_.begin() + static_cast<std::ptrdiff_t>(i));
            ++freed;
        }
    }
    return freed;
}

int TAddressCollection::CountWithoutDoubleWords() const {
    int n = 0;
    for (const auto& item : Items_) n += !item->IsDoubleWord;
    return n;
}

} // namespace dravon
