#include "opc/OPCDAConnectionCollection.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "opc/DA2.h"
#include "opc/DAConnectionItem.h"
#include "opc/OPCGroupCollection.h"
#include "opc/OPCLog.h"

#include <algorithm>

namespace dravon {

TOPCDAConnectionCollection::TOPCDAConnectionCollection(TServerContext& context) : Context_(context) {
    if (Context_.Clock) {
        TickMark_ = Context_.Clock->TickCount();
        CreationTime_ = Context_.Clock->Now();
    }
    if (Context_.Timers) {
        Timer_ = Context_.Timers->CreateTimer();
        Timer_->SetInterval(TickIntervalMs);
        Timer_->OnTimer = [this] { ServerTick(); };
    }
}

TOPCDAConnectionCollection::~TOPCDAConnectionCollection() {
    Stop();
    // Server objects whose clients still hold them are cut loose: they must not reach
    // this list (or their groups) after it is gone.
    while (!Items_.empty()) {
        TDAConnectionItem& item = *Items_.back();
        if (TDA2* server = item.Server()) {
            TComPtr<TDA2> keep(server);
            server->Disconnect();
        }
        if (!Items_.empty() && Items_.back().get() == &item) Items_.pop_back();
    }
}

void TOPCDAConnectionCollection::Start() {
    if (Timer_) Timer_->SetEnabled(true);
}

void TOPCDAConnectionCollection::Stop() {
    if (Timer_) Timer_->SetEnabled(false);
}

TDAConnectionItem& TOPCDAConnectionCollection::Add(TDA2& server) {
    Items_.push_back(std::make_unique<TDAConnectionItem>(*this));
    TDAConnectionItem& item = *Items_.back();
    item.Link(server);
    if (Context_.Log && Context_.Clock)
        Context_.Log->Add(FormatText("Client connected at %s", {ClientEventTimeText(*Context_.Clock)}), true);
    return item;
}

void TOPCDAConnectionCollection::Remove(TDAConnectionItem& item) {
    item.Unlink();
    auto it = std::find_if(Items_.begin(), Items_.end(), [&](const auto& p) { return p.get() == &item; });
    if (it != Items_.end()) Items_.erase(it);
}

std::vector<TDA2*> TOPCDAConnectionCollection::Servers() const {
    std::vector<TDA2*> servers;
    for (const auto& item : Items_)
        if (item->Server()) servers.push_back(item->Server());
    return servers;
}

void TOPCDAConnectionCollection::SendShutdownRequests(const std::string& reason) {
    // Held while asked: a client may release its server object inside ShutdownRequest.
    std::vector<TComPtr<TDA2>> servers;
    for (TDA2* server : Servers()) servers.emplace_back(server);
    for (auto& server : servers) server->SendShutdownRequest(reason);
}

std::uint32_t TOPCDAConnectionCollection::TickDiff(std::uint32_t now, std::uint32_t then) {
    std::uint32_t diff = now - then;
    if (diff & 0x80000000u) --diff;
    return diff;
}

void TOPCDAConnectionCollection::ServerTick() {
    if (Timer_) Timer_->SetEnabled(false);
    const std::uint32_t tick = Context_.Clock ? Context_.Clock->TickCount() : 0;

    // A client may release its server object, or the groups, from inside a callback of
    // the cycle: each server object is held while its groups run, and the walk goes over
    // a snapshot so that entries leaving the list do not disturb it.
    std::vector<TComPtr<TDA2>> servers;
    for (auto it = Items_.rbegin(); it != Items_.rend(); ++it)
        if (TDA2* server = (*it)->Server()) servers.emplace_back(server);
    for (auto& server : servers)
        if (server->Connections() == this) server->Groups().Cycle(tick);
    servers.clear();

    if (Context_.Clock && TickDiff(tick, TickMark_) >= BrowseWindowMs) {
        TickMark_ = Context_.Clock->TickCount();
        for (TDA2* server : Servers()) server->BrowseCallCounter = 0;
    }
    if (Timer_) Timer_->SetEnabled(true);
}

std::uint32_t TOPCDAConnectionCollection::NewTransactionID() {
    if (++LastTransactionID_ == 0) ++LastTransactionID_;
    return LastTransactionID_;
}

std::uint16_t TOPCDAConnectionCollection::RegisterClipboardFormat(const std::string& name) {
    auto it = ClipboardFormats_.find(name);
    if (it != ClipboardFormats_.end()) return it->second;
    auto id = static_cast<std::uint16_t>(0xC000 + ClipboardFormats_.size());
    ClipboardFormats_.emplace(name, id);
    return id;
}

} // namespace dravon
