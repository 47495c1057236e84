// TOPCGroupCollection: the groups of one server object in creation order, each held by a
// counted reference with its marked-for-deletion byte.
#pragma once

#include "opc/ComPtr.h"
#include "opc/OPCInterfaces.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravon {

class TDA2;
class TOPCGroup;

struct TOPCGroupCollectionItem {
    TComPtr<TOPCGroup> Group;
    bool MarkedForDeletion = false;
};

class TOPCGroupCollection {
public:
    explicit TOPCGroupCollection(TDA2& server);
    // Detaches and releases every group (a group still held by its client survives detached).
    ~TOPCGroupCollection();
    TOPCGroupCollection(const TOPCGroupCollection&) = delete;
    TOPCGroupCollection& operator=(const TOPCGroupCollection&) = delete;

    TDA2& Server() const { return Server_; }

    // Creates a group with a new process-unique server handle and appends it.
    TComPtr<TOPCGroup> Create();

    std::size_t Count() const { return Items_.size(); }
    const std::vector<TOPCGroupCollectionItem>& Items() const { return Items_; }
    // Exact, case-sensitive name; the first in creation order. Marked groups count.
    TOPCGroup* FindByName(const std::string& name) const;
    TOPCGroup* FindByHandle(OPCHANDLE serverHandle) const;
    // From the last created to the first.
    std::vector<std::string> NamesLastToFirst() const;
    std::vector<TComPtr<TOPCGroup>> GroupsLastToFirst() const;

    // A name for an unnamed group: the tick count in decimal, not used by any group here.
    std::string GenerateName() const;

    // Removes the group now: detaches it and writes "Group %s deleted at %s".
    void Destroy(TOPCGroup& group);
    void MarkForDeletion(TOPCGroup& group);
    bool IsMarked(const TOPCGroup& group) const;
    // Destroys, from the last to the first, the marked groups only the collection holds.
    void Purge();

    // The server tick's work for this server object: purge, then the cycle of each group
    // (last to first) that is not marked, not busy and has items.
    void Cycle(std::uint32_t tick);

private:
    TDA2& Server_;
    std::vector<TOPCGroupCollectionItem> Items_;
};

} // namespace dravon
