#include "SoakClient.h"

#include "app/Platform.h"
#include "opc/ConnectionPoint.h"
#include "opc/DA2ClassFactory.h"
#include "opc/HResult.h"
#include "plc/HitachiLocation.h"

#include <algorithm>
#include <utility>

namespace dravon::soak {

namespace {

// At most this many requests of one client wait at a time.
constexpr std::size_t MaxOutstanding = 6;

} // namespace

std::uint32_t TSoakClientBase::Elapsed(std::uint32_t since) const { return Env_.Clock->TickCount() - since; }

std::vector<int> TSoakClientBase::Pick(const std::vector<int>& from, std::size_t most) {
    std::vector<int> picked;
    if (from.empty()) return picked;
    std::uniform_int_distribution<std::size_t> which(0, from.size() - 1);
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, most)(*Env_.Random);
    for (std::size_t i = 0; i < n; ++i) {
        const int index = from[which(*Env_.Random)];
        if (std::find(picked.begin(), picked.end(), index) == picked.end()) picked.push_back(index);
    }
    return picked;
}

TSoakClientBase::TPending& TSoakClientBase::Start(std::uint32_t id, int kind, const std::vector<int>& read) {
    TPending& p = Pending_[id] = TPending{};
    p.Kind = kind;
    p.StartTick = Env_.Clock->TickCount();
    for (int index : read) p.Reads.emplace_back(index, Env_.Ledger->Floor(index));
    return p;
}

std::optional<TSoakClientBase::TPending> TSoakClientBase::Answered(std::uint32_t id) {
    auto it = Pending_.find(id);
    if (it == Pending_.end()) return std::nullopt;
    TPending p = std::move(it->second);
    Pending_.erase(it);
    return p;
}

std::size_t TSoakClientBase::Outstanding() const {
    return static_cast<std::size_t>(
        std::count_if(Pending_.begin(), Pending_.end(), [](const auto& p) { return p.second.Kind != Held; }));
}

void TSoakClientBase::CheckOverdue() {
    for (auto& [id, p] : Pending_) {
        if (p.Kind == Held || p.Overdue || Elapsed(p.StartTick) <= BoundMs_) continue;
        p.Overdue = true;
        Fault("request " + std::to_string(id) + " not answered within " + std::to_string(BoundMs_) + " ms");
    }
}

void TSoakClientBase::Notified(int index, bool good, std::uint32_t code, std::uint16_t value) {
    Last_[index] = {good, code, value};
    ++Activity.Notified;
}

bool TSoakClientBase::Settled(std::string* why, bool values) const {
    for (int index : Items_) {
        auto it = Last_.find(index);
        const std::uint16_t expected = Env_.Ledger->Expected(index);
        if (it != Last_.end() && it->second.Good && (!values || it->second.Value == expected)) continue;
        if (why)
            *why = Name_ + ": last notification of " + Env_.Ledger->ItemId(index) + " was " +
                   (it == Last_.end()  ? std::string("never sent")
                    : !it->second.Good ? Hex(it->second.Code, 8)
                                       : Hex(it->second.Value) + ", not " + Hex(expected) + " as in the PLC");
        return false;
    }
    return true;
}

TSoakClient::TSoakClient(TSoakEnv& env, std::string name, std::vector<int> items, std::vector<int> writable,
                         std::uint32_t updateRateMs)
    : TSoakClientBase(env, std::move(name), std::move(items), std::move(writable), env.TransactionBoundMs),
      UpdateRate_(updateRateMs) {}

bool TSoakClient::Connect() {
    auto fail = [&](const char* why) {
        Fault(why);
        Disconnect();
        return false;
    };
    TComPtr<IUnknown> unknown;
    if (Env_.Factory->CreateInstance(nullptr, IOPCServer::Iid, unknown) != S_OK)
        return fail("CreateInstance failed");
    Server_ = InterfaceOf<IOPCServer>(unknown);
    if (auto common = InterfaceOf<IOPCCommon>(unknown)) common->SetClientName(Name_);
    std::uint32_t revised = 0;
    if (!Server_ || Server_->AddGroup("Soak", 1, UpdateRate_, 1, nullptr, nullptr, 1033, ServerGroup_,
                                      revised, IOPCItemMgt::Iid, Group_) != S_OK)
        return fail("AddGroup failed");
    auto items = InterfaceOf<IOPCItemMgt>(Group_);
    Sync_ = InterfaceOf<IOPCSyncIO>(Group_);
    Async_ = InterfaceOf<IOPCAsyncIO2>(Group_);
    // The group holds the sink, so it may outlive its client by a little: it then only
    // records the calls.
    Sink_ = MakeCom<test::TRecordingSink>();
    Sink_->OnCall = [this](const test::TDataCall& call) {
        Called(call);
        Sink_->Calls.clear();
    };
    if (!items || !Sync_ || !Async_ || Sink_->Advise(Group_, Point_, Cookie_) != S_OK)
        return fail("the group's interfaces or its callback are missing");
    std::vector<TOPCItemDef> defs(Items_.size());
    for (std::size_t i = 0; i < Items_.size(); ++i)
        defs[i] = {"", Env_.Ledger->ItemId(Items_[i]), 1, static_cast<OPCHANDLE>(Items_[i]), {}, VT_UI2};
    std::vector<TOPCItemResult> results;
    std::vector<HRESULT> errors;
    if (items->AddItems(defs, results, errors) != S_OK) return fail("AddItems failed");
    for (std::size_t i = 0; i < Items_.size(); ++i) ServerHandles_[Items_[i]] = results[i].ServerHandle;
    return true;
}

void TSoakClient::Disconnect() {
    if (Sink_) Sink_->OnCall = nullptr;
    if (Point_ && Cookie_) Point_->Unadvise(Cookie_);
    Point_ = nullptr;
    Cookie_ = 0;
    Sync_ = nullptr;
    Async_ = nullptr;
    Group_ = nullptr;
    if (Server_ && ServerGroup_) Server_->RemoveGroup(ServerGroup_, 1);
    ServerGroup_ = 0;
    Server_ = nullptr;
    Sink_ = nullptr;
    ServerHandles_.clear();
    Pending_.clear();
}

std::vector<OPCHANDLE> TSoakClient::Handles(const std::vector<int>& indexes) {
    std::vector<OPCHANDLE> handles;
    for (int index : indexes) handles.push_back(ServerHandles_[index]);
    return handles;
}

void TSoakClient::Step() {
    if (!Connected() || Outstanding() >= MaxOutstanding) return;
    const int roll = std::uniform_int_distribution<int>(0, 99)(*Env_.Random);
    const std::uint32_t tid = NextTransaction_++;
    std::uint32_t cancelID = 0;
    std::vector<HRESULT> errors;
    if (roll < 50) {
        WriteOne();
    } else if (roll < 72) {
        const std::vector<int> picked = Pick(Items_, 5);
        Start(tid, Read, picked); // the floors of the moment the read goes out
        if (Async_->Read(Handles(picked), tid, cancelID, errors) != S_OK) {
            Pending_.erase(tid);
            return Fault("IOPCAsyncIO2::Read failed");
        }
        Env_.Counters->Count("async device reads");
        // Now and then the client changes its mind: the read must then end with
        // OnCancelComplete and never with OnReadComplete.
        if (std::uniform_int_distribution<int>(0, 9)(*Env_.Random) == 0 &&
            Async_->Cancel2(cancelID) == S_OK && Pending_.count(tid)) {
            Pending_[tid].Cancelled = true;
            Env_.Counters->Count("reads cancelled");
        }
    } else if (roll < 76) {
        Start(tid, Refresh, Items_);
        if (Async_->Refresh2(OPC_DS_DEVICE, tid, cancelID) != S_OK) {
            Pending_.erase(tid);
            return Fault("IOPCAsyncIO2::Refresh2 failed");
        }
        Env_.Counters->Count("device refreshes");
    }
}

void TSoakClient::WriteOne() {
    if (!Connected() || Writable_.empty() || Outstanding() >= MaxOutstanding) return;
    const std::vector<int> chosen = Pick(Writable_, 3);
    std::vector<TVariant> values;
    std::vector<std::uint16_t> raw;
    for (int index : chosen) {
        raw.push_back(Env_.Ledger->NextValue(index));
        values.push_back(TVariant::UI2(raw.back()));
    }
    const std::uint32_t tid = NextTransaction_++;
    std::uint32_t cancelID = 0;
    std::vector<HRESULT> errors;
    const HRESULT hr = Async_->Write(Handles(chosen), values, tid, cancelID, errors);
    Env_.Counters->Count("async write calls");
    if (hr != S_OK) return Fault("IOPCAsyncIO2::Write failed with " + std::to_string(hr));
    TPending& pending = Start(tid, Write);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (errors[i] != S_OK) continue;
        Env_.Ledger->Given(chosen[i], raw[i]);
        pending.Writes.emplace_back(chosen[i], raw[i]);
    }
}

void TSoakClient::SyncDeviceRead() {
    // The read processes events while it waits, so other clients' calls run inside it;
    // one at a time keeps the nesting flat.
    if (!Connected() || Env_.SyncReadRunning) return;
    Env_.SyncReadRunning = true;
    TPending request;
    for (int index : Pick(Items_, 5)) request.Reads.emplace_back(index, Env_.Ledger->Floor(index));
    std::vector<int> picked;
    for (const auto& read : request.Reads) picked.push_back(read.first);
    // The group is kept by this reference even if the client is told to go meanwhile.
    TComPtr<IOPCSyncIO> sync = Sync_;
    const std::uint32_t start = Env_.Clock->TickCount();
    std::vector<TOPCItemState> states;
    std::vector<HRESULT> errors;
    const HRESULT hr = sync->Read(OPC_DS_DEVICE, Handles(picked), states, errors);
    const std::uint32_t took = Elapsed(start);
    Env_.SyncReadRunning = false;
    Env_.Counters->Count("sync device reads");
    Env_.Counters->Most("slowest sync read (ms)", took);
    if (took > Env_.SyncReadBoundMs) Fault("a synchronous device read took " + std::to_string(took) + " ms");
    if (hr != S_OK) return Fault("IOPCSyncIO::Read from the device failed with " + std::to_string(hr));
    for (std::size_t i = 0; i < states.size() && i < errors.size(); ++i)
        if (errors[i] == S_OK)
            Observe(states[i].ClientHandle, states[i].Value, states[i].Quality, &request, false);
}

void TSoakClient::Observe(OPCHANDLE client, const TVariant& value, std::uint16_t quality,
                          const TPending* request, bool notified) {
    const int index = static_cast<int>(client);
    if (index < 0 || index >= Env_.Ledger->Count())
        return Fault("an answer names client handle " + std::to_string(client));
    const auto number = static_cast<std::uint16_t>(value.UIntValue());
    if (notified) Notified(index, quality == QualityGood, quality, number);
    if ((quality & 0xC0) == 0) return; // BAD; GOOD and UNCERTAIN carry a value
    std::uint32_t floor = Env_.Ledger->Floor(index);
    if (request) {
        auto read = std::find_if(request->Reads.begin(), request->Reads.end(),
                                 [&](const auto& r) { return r.first == index; });
        if (read == request->Reads.end())
            return Fault("an answer names " + Env_.Ledger->ItemId(index) + ", which was not asked for");
        floor = read->second;
        ++Activity.Reads;
    }
    Env_.Ledger->Observed(index, number, floor);
}

void TSoakClient::Called(const test::TDataCall& c) {
    static const TPending unknown;
    auto known = c.TransactionID ? Answered(c.TransactionID) : std::nullopt;
    if (c.TransactionID && !known)
        Fault(c.Kind + " answer for unknown transaction " + std::to_string(c.TransactionID));
    if (known) Env_.Counters->Most("slowest transaction (ms)", Elapsed(known->StartTick));
    const bool data = c.Kind == "data";
    if (data) Env_.Counters->Count("notifications (OnDataChange)");
    if (c.Kind == "read" && known && known->Cancelled)
        Fault("OnReadComplete for cancelled transaction " + std::to_string(c.TransactionID));
    // A refresh answers through OnDataChange with its id.
    if (data || c.Kind == "read")
        for (std::size_t i = 0; i < c.Clients.size() && i < c.Values.size() && i < c.Qualities.size(); ++i)
            if (i >= c.Errors.size() || c.Errors[i] == S_OK)
                Observe(c.Clients[i], c.Values[i], c.Qualities[i],
                        known                      ? &*known
                        : data && !c.TransactionID ? nullptr
                                                   : &unknown,
                        data);
    for (std::size_t i = 0; c.Kind == "write" && i < c.Clients.size() && i < c.Errors.size(); ++i) {
        if (c.Errors[i] != S_OK) Env_.Counters->Count("write elements failed (OnWriteComplete)");
        for (const auto& [written, value] : known ? known->Writes : unknown.Writes)
            if (c.Errors[i] == S_OK && written == static_cast<int>(c.Clients[i])) Confirm(written, value);
    }
    if (c.Kind == "cancel" && (!known || !known->Cancelled))
        Fault("OnCancelComplete for transaction " + std::to_string(c.TransactionID) +
              " that was not cancelled");
}

bool TSoakClient::AllGood(std::string* why) {
    if (!Connected()) return true;
    std::vector<TOPCItemState> states;
    std::vector<HRESULT> errors;
    if (Sync_->Read(OPC_DS_CACHE, Handles(Items_), states, errors) != S_OK) {
        if (why) *why = Name_ + ": cache read failed";
        return false;
    }
    for (const auto& s : states) {
        if (s.Quality == QualityGood) continue;
        if (why)
            *why = Name_ + ": " + Env_.Ledger->ItemId(static_cast<int>(s.ClientHandle)) + " has quality " +
                   std::to_string(s.Quality);
        return false;
    }
    return true;
}

} // namespace dravon::soak
