#include "opc/OPCGroupCollection.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/DA2.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItemCollection.h"
#include "opc/OPCLog.h"

#include <algorithm>

namespace dravon {

TOPCGroupCollection::TOPCGroupCollection(TDA2& server) : Server_(server) {}

TOPCGroupCollection::~TOPCGroupCollection() {
    while (!Items_.empty()) {
        TComPtr<TOPCGroup> group = std::move(Items_.back().Group);
        Items_.pop_back();
        group->Detach();
    }
}

TComPtr<TOPCGroup> TOPCGroupCollection::Create() {
    TOPCDAConnectionCollection* connections = Server_.Connections();
    if (!connections) return {};
    auto group = MakeCom<TOPCGroup>(*this, connections->NewGroupHandle());
    Items_.push_back({group, false});
    return group;
}

TOPCGroup* TOPCGroupCollection::FindByName(const std::string& name) const {
    for (const auto& item : Items_)
        if (item.Group->Name == name) return item.Group.Get();
    return nullptr;
}

TOPCGroup* TOPCGroupCollection::FindByHandle(OPCHANDLE serverHandle) const {
    for (const auto& item : Items_)
        if (item.Group->ServerHandle == serverHandle) return item.Group.Get();
    return nullptr;
}

std::vector<std::string> TOPCGroupCollection::NamesLastToFirst() const {
    std::vector<std::string> names;
    for (auto it = Items_.rbegin(); it != Items_.rend(); ++it) names.push_back(it->Group->Name);
    return names;
}

std::vector<TComPtr<TOPCGroup>> TOPCGroupCollection::GroupsLastToFirst() const {
    std::vector<TComPtr<TOPCGroup>> groups;
    for (auto it = Items_.rbegin(); it != Items_.rend(); ++it) groups.push_back(it->Group);
    return groups;
}

std::string TOPCGroupCollection::GenerateName() const {
    const IClock* clock = Server_.Context().Clock;
    std::uint32_t tick = clock ? clock->TickCount() : 0;
    // The tick count does not move between two calls in the same millisecond: step on
    // from it instead of asking again, so the search always ends.
    for (std::uint32_t step = 0;; ++step) {
        std::string name = std::to_string(static_cast<std::uint32_t>(tick + step));
        if (!FindByName(name)) return name;
    }
}

void TOPCGroupCollection::Destroy(TOPCGroup& group) {
    auto it = std::find_if(Items_.begin(), Items_.end(),
                           [&](const auto& item) { return item.Group.Get() == &group; });
    if (it == Items_.end()) return;
    TComPtr<TOPCGroup> held = std::move(it->Group);
    Items_.erase(it);
    std::string name = held->Name;
    held->Detach();
    TServerContext& context = Server_.Context();
    if (context.Log && context.Clock)
        context.Log->Add(
            FormatText("Group %s deleted at %s", {LogText(name), ClientEventTimeText(*context.Clock)}), true);
}

void TOPCGroupCollection::MarkForDeletion(TOPCGroup& group) {
    for (auto& item : Items_)
        if (item.Group.Get() == &group) item.MarkedForDeletion = true;
}

bool TOPCGroupCollection::IsMarked(const TOPCGroup& group) const {
    for (const auto& item : Items_)
        if (item.Group.Get() == &group) return item.MarkedForDeletion;
    return false;
}

void TOPCGroupCollection::Purge() {
    // Destroying a group releases client sinks, which may call back and change this
    // list: look for the next candidate afresh each time, still from last to first.
    std::size_t limit = Items_.size();
    while (limit > 0) {
        std::size_t index = std::min(limit, Items_.size());
        bool found = false;
        while (index > 0) {
            --index;
            const auto& item = Items_[index];
            if (item.MarkedForDeletion && item.Group->RefCount() < 2) {
                found = true;
                break;
            }
        }
        if (!found) break;
        TOPCGroup& group = *Items_[index].Group;
        Destroy(group);
        limit = index;
    }
}

void TOPCGroupCollection::Cycle(std::uint32_t tick) {
    Purge();
    // Held while they run: a client may remove or release groups inside a callback.
    for (auto& group : GroupsLastToFirst()) {
        if (group->Owner() != this || IsMarked(*group) || group->Busy || group->Items().Count() == 0)
            continue;
        group->Cycle(tick);
    }
}

} // namespace dravon
