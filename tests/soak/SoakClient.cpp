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

// At most this many asynchronous transactions of one client wait at a time.
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
    : TSoakClientBase(env, std::move(name), std::move(items), std::move(writable)),
      UpdateRate_(updateRateMs) {}

TSoakClient::~TSoakClient() { Disconnect(); }

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
    TComPtr<IConnectionPoint> point;
    // The group holds the sink, so it may outlive its client by a little: it then only
    // records the calls.
    Sink_ = MakeCom<test::TRecordingSink>();
    Sink_->OnCall = [this](const test::TDataCall& call) {
        Called(call);
        Sink_->Calls.clear();
    };
    if (!items || !Sync_ || !Async_ || Sink_->Advise(Group_, point, Cookie_) != S_OK)
        return fail("the group's interfaces or its callback are missing");
    std::vector<TOPCItemDef> defs(Items_.size());
    for (std::size_t i = 0; i < Items_.size(); ++i) {
        defs[i].ItemID = Env_.Ledger->ItemId(Items_[i]);
        defs[i].Active = 1;
        defs[i].ClientHandle = static_cast<OPCHANDLE>(Items_[i]);
        defs[i].RequestedDataType = VT_UI2;
    }
    std::vector<TOPCItemResult> results;
    std::vector<HRESULT> errors;
    if (items->AddItems(defs, results, errors) != S_OK) return fail("AddItems failed");
    for (std::size_t i = 0; i < Items_.size(); ++i) ServerHandles_[Items_[i]] = results[i].ServerHandle;
    return true;
}

void TSoakClient::Disconnect() {
    if (Sink_) Sink_->OnCall = nullptr;
    if (Group_ && Cookie_) {
        if (auto container = InterfaceOf<IConnectionPointContainer>(Group_)) {
            TComPtr<IConnectionPoint> point;
            if (container->FindConnectionPoint(IOPCDataCallback::Iid, point) == S_OK)
                point->Unadvise(Cookie_);
        }
    }
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

void TSoakClient::Start(TKind kind, std::uint32_t tid, const std::vector<int>& read, TPending pending) {
    pending.Kind = kind;
    pending.StartTick = Env_.Clock->TickCount();
    for (int index : read) pending.Floors[index] = Env_.Ledger->Floor(index);
    Pending_[tid] = std::move(pending);
}

void TSoakClient::Step() {
    if (!Connected() || Pending_.size() >= MaxOutstanding) return;
    const int roll = std::uniform_int_distribution<int>(0, 99)(*Env_.Random);
    const std::uint32_t tid = NextTransaction_++;
    std::uint32_t cancelID = 0;
    std::vector<HRESULT> errors;
    if (roll < 50) {
        WriteOne();
    } else if (roll < 72) {
        const std::vector<int> picked = Pick(Items_, 5);
        Start(TKind::Read, tid, picked, {}); // the floors of the moment the read goes out
        if (Async_->Read(Handles(picked), tid, cancelID, errors) != S_OK) {
            Pending_.erase(tid);
            return Fault("IOPCAsyncIO2::Read failed");
        }
        ++Env_.Counters->AsyncReads;
        // Now and then the client changes its mind: the read must then end with
        // OnCancelComplete and never with OnReadComplete.
        if (std::uniform_int_distribution<int>(0, 9)(*Env_.Random) == 0 &&
            Async_->Cancel2(cancelID) == S_OK && Pending_.count(tid)) {
            Pending_[tid].Cancelled = true;
            ++Env_.Counters->Cancels;
        }
    } else if (roll < 76) {
        Start(TKind::Refresh, tid, Items_, {});
        if (Async_->Refresh2(OPC_DS_DEVICE, tid, cancelID) != S_OK) {
            Pending_.erase(tid);
            return Fault("IOPCAsyncIO2::Refresh2 failed");
        }
        ++Env_.Counters->Refreshes;
    }
}

void TSoakClient::WriteOne() {
    if (!Connected() || Writable_.empty() || Pending_.size() >= MaxOutstanding) return;
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
    ++Env_.Counters->WriteCalls;
    if (hr != S_OK) return Fault("IOPCAsyncIO2::Write failed with " + std::to_string(hr));
    TPending pending;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (errors[i] != S_OK) continue;
        Env_.Ledger->Given(chosen[i], raw[i]);
        pending.Writes.emplace_back(chosen[i], raw[i]);
    }
    Start(TKind::Write, tid, {}, std::move(pending));
}

void TSoakClient::SyncDeviceRead() {
    // The read processes events while it waits, so other clients' calls run inside it;
    // one at a time keeps the nesting flat.
    if (!Connected() || Env_.SyncReadRunning) return;
    Env_.SyncReadRunning = true;
    const std::vector<int> picked = Pick(Items_, 5);
    std::map<int, std::uint32_t> floors;
    for (int index : picked) floors[index] = Env_.Ledger->Floor(index);
    // The group is kept by this reference even if the client is told to go meanwhile.
    TComPtr<IOPCSyncIO> sync = Sync_;
    const std::uint32_t start = Env_.Clock->TickCount();
    std::vector<TOPCItemState> states;
    std::vector<HRESULT> errors;
    const HRESULT hr = sync->Read(OPC_DS_DEVICE, Handles(picked), states, errors);
    const std::uint32_t took = Elapsed(start);
    Env_.SyncReadRunning = false;
    ++Env_.Counters->SyncDeviceReads;
    Env_.Counters->SlowestSyncReadMs = std::max(Env_.Counters->SlowestSyncReadMs, took);
    if (took > Env_.SyncReadBoundMs) Fault("a synchronous device read took " + std::to_string(took) + " ms");
    if (hr != S_OK) return Fault("IOPCSyncIO::Read from the device failed with " + std::to_string(hr));
    std::vector<OPCHANDLE> clients;
    std::vector<TVariant> values;
    std::vector<std::uint16_t> qualities;
    for (const auto& s : states) {
        clients.push_back(s.ClientHandle);
        values.push_back(s.Value);
        qualities.push_back(s.Quality);
    }
    Observe(clients, values, qualities, errors, &floors, false);
}

void TSoakClient::Observe(const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                          const std::vector<std::uint16_t>& qualities, const std::vector<HRESULT>& errors,
                          const std::map<int, std::uint32_t>* floors, bool notified) {
    for (std::size_t i = 0; i < clients.size() && i < values.size() && i < qualities.size(); ++i) {
        if (i < errors.size() && errors[i] != S_OK) continue;
        const int index = static_cast<int>(clients[i]);
        if (index < 0 || index >= Env_.Ledger->Count()) {
            Fault("an answer names client handle " + std::to_string(clients[i]));
            continue;
        }
        const auto value = static_cast<std::uint16_t>(values[i].UIntValue());
        if (notified) Notified(index, qualities[i] == QualityGood, qualities[i], value);
        if ((qualities[i] & 0xC0) == 0) continue; // BAD; GOOD and UNCERTAIN carry a value
        // A notification is made in the server's tick that delivers it: its floor is now's.
        std::uint32_t floor = Env_.Ledger->Floor(index);
        if (floors) {
            auto f = floors->find(index);
            if (f == floors->end()) {
                Fault("an answer names " + Env_.Ledger->ItemId(index) + ", which was not asked for");
                continue;
            }
            floor = f->second;
            ++Activity.Reads;
        }
        Env_.Ledger->Observed(index, value, floor);
    }
}

void TSoakClient::Called(const test::TDataCall& c) {
    auto it = c.TransactionID ? Pending_.find(c.TransactionID) : Pending_.end();
    const bool known = it != Pending_.end();
    if (c.Kind == "data") {
        ++Env_.Counters->Notifications;
        // A refresh answers through OnDataChange with its id.
        Observe(c.Clients, c.Values, c.Qualities, c.Errors, known ? &it->second.Floors : nullptr, true);
        if (c.TransactionID) Finish(c.TransactionID, "refresh");
    } else if (c.Kind == "read") {
        if (known && it->second.Cancelled)
            Fault("OnReadComplete for cancelled transaction " + std::to_string(c.TransactionID));
        static const std::map<int, std::uint32_t> unknown;
        Observe(c.Clients, c.Values, c.Qualities, c.Errors, known ? &it->second.Floors : &unknown, false);
        Finish(c.TransactionID, "read");
    } else if (c.Kind == "write") {
        for (std::size_t i = 0; i < c.Clients.size() && i < c.Errors.size(); ++i) {
            if (c.Errors[i] != S_OK)
                ++Env_.Counters->WriteErrors;
            else if (known)
                for (const auto& [written, value] : it->second.Writes)
                    if (written == static_cast<int>(c.Clients[i])) {
                        Env_.Ledger->Confirmed(written, value);
                        ++Activity.Writes;
                    }
        }
        Finish(c.TransactionID, "write");
    } else {
        if (!known || !it->second.Cancelled)
            Fault("OnCancelComplete for transaction " + std::to_string(c.TransactionID) +
                  " that was not cancelled");
        Finish(c.TransactionID, "cancel");
    }
}

void TSoakClient::Finish(std::uint32_t tid, const std::string& what) {
    auto it = Pending_.find(tid);
    if (it == Pending_.end()) return Fault(what + " answer for unknown transaction " + std::to_string(tid));
    const std::uint32_t took = Elapsed(it->second.StartTick);
    Env_.Counters->SlowestTransactionMs = std::max(Env_.Counters->SlowestTransactionMs, took);
    if (took > Env_.TransactionBoundMs && !it->second.Overdue)
        Fault(what + " transaction " + std::to_string(tid) + " answered after " + std::to_string(took) +
              " ms");
    Pending_.erase(it);
}

void TSoakClient::CheckOverdue() {
    for (auto& [tid, pending] : Pending_) {
        if (pending.Overdue || Elapsed(pending.StartTick) <= Env_.TransactionBoundMs) continue;
        pending.Overdue = true;
        Fault("transaction " + std::to_string(tid) + " not answered within " +
              std::to_string(Env_.TransactionBoundMs) + " ms");
    }
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
