// One OPC client of the soak, made the way a COM client is: a server object from the
// class factory, a group with an IOPCDataCallback sink, items on every PLC. Each Step
// makes one random call (an asynchronous write, an asynchronous or synchronous device
// read, a refresh, a cancel) and every answer is checked against the ledger.
#pragma once

#include "SoakLedger.h"

#include "opc/ComPtr.h"
#include "opc/OPCInterfaces.h"
#include "support/RecordingSink.h"

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace dravon {
class IClock;
class TDA2ClassFactory;
} // namespace dravon

namespace dravon::soak {

struct TSoakCounters {
    std::uint64_t WriteCalls = 0;
    std::uint64_t SyncDeviceReads = 0;
    std::uint64_t AsyncReads = 0;
    std::uint64_t Refreshes = 0;
    std::uint64_t Cancels = 0;
    std::uint64_t WriteErrors = 0;   // OnWriteComplete with an error for an element
    std::uint64_t Notifications = 0; // OnDataChange calls
    // OPC UA clients
    std::uint64_t UaWriteCalls = 0;
    std::uint64_t UaWritesGood = 0;    // write elements answered Good (accepted)
    std::uint64_t UaWriteErrors = 0;   // write elements answered Bad
    std::uint64_t UaReads = 0;         // device reads (maxAge 0) sent
    std::uint64_t UaReadValues = 0;    // values they returned
    std::uint64_t UaPublishes = 0;     // Publish responses with data
    std::uint64_t UaKeepAlives = 0;    // Publish responses without
    std::uint64_t UaNotifications = 0; // monitored-item notifications
    std::uint64_t UaSessionsFreed = 0; // sessions of vanished clients freed at the time-out
    std::uint32_t SlowestUaReadMs = 0;
    std::uint32_t SlowestSyncReadMs = 0;
    std::uint32_t SlowestTransactionMs = 0;
    std::vector<std::string> Faults;
    void Fault(const std::string& text) {
        if (Faults.size() < 50) Faults.push_back(text);
    }
};

// What all clients share; owned by the run.
struct TSoakEnv {
    TDA2ClassFactory* Factory = nullptr;
    IClock* Clock = nullptr;
    TSoakLedger* Ledger = nullptr;
    TSoakCounters* Counters = nullptr;
    std::mt19937* Random = nullptr;
    bool SyncReadRunning = false;         // one synchronous device read at a time
    std::uint32_t SyncReadBoundMs = 0;    // a synchronous device read returns within this
    std::uint32_t TransactionBoundMs = 0; // an asynchronous transaction is answered within this
};

// What both kinds of client share: name, words, the last notification of each word and
// what the client got done.
class TSoakClientBase {
public:
    TSoakClientBase(TSoakEnv& env, std::string name, std::vector<int> items, std::vector<int> writable)
        : Env_(env), Name_(std::move(name)), Items_(std::move(items)), Writable_(std::move(writable)) {
        Activity.Name = Name_;
    }
    virtual ~TSoakClientBase() = default;
    TSoakClientBase(const TSoakClientBase&) = delete;
    TSoakClientBase& operator=(const TSoakClientBase&) = delete;
    // Requests still unanswered (Publish requests are held by design).
    virtual std::size_t Outstanding() const = 0;
    // Requests older than their bound become faults (once each).
    virtual void CheckOverdue() = 0;
    // Every word's last notification was good and, with values, shows what the PLC holds.
    bool Settled(std::string* why, bool values) const;
    TSoakActivity Activity;

protected:
    // Up to `most` distinct words of `from`, at random.
    std::vector<int> Pick(const std::vector<int>& from, std::size_t most);
    void Fault(const std::string& text) const { Env_.Counters->Fault(Name_ + ": " + text); }
    std::uint32_t Elapsed(std::uint32_t since) const;
    // A notified value; code: the quality or status it came with.
    void Notified(int index, bool good, std::uint32_t code, std::uint16_t value);

    TSoakEnv& Env_;
    std::string Name_;
    std::vector<int> Items_;
    std::vector<int> Writable_;

private:
    struct TLast {
        bool Good = false;
        std::uint32_t Code = 0;
        std::uint16_t Value = 0;
    };
    std::map<int, TLast> Last_;
};

class TSoakClient : public TSoakClientBase {
public:
    // items: ledger indexes; writable: the ones this client writes to.
    TSoakClient(TSoakEnv& env, std::string name, std::vector<int> items, std::vector<int> writable,
                std::uint32_t updateRateMs);
    ~TSoakClient() override;

    bool Connect();
    // Unadvise, remove the group, let go of every interface. Answers still due are lost.
    void Disconnect();
    bool Connected() const { return static_cast<bool>(Server_); }

    // One random asynchronous call (a write, a read, a refresh) or nothing.
    void Step();
    // A synchronous device read of up to five items. It processes events while it waits,
    // so the caller must not be a timer that has to keep firing meanwhile.
    void SyncDeviceRead();
    // One asynchronous write of up to three random writable items.
    void WriteOne();
    std::size_t Outstanding() const override { return Pending_.size(); }
    void CheckOverdue() override;
    // Every item GOOD in a cache read; what is not, in why.
    bool AllGood(std::string* why);
    std::uint32_t UpdateRate() const { return UpdateRate_; }

private:
    enum class TKind : std::uint8_t { Read, Write, Refresh };
    struct TPending {
        TKind Kind = TKind::Read;
        std::uint32_t StartTick = 0;
        bool Cancelled = false;
        bool Overdue = false;
        std::vector<std::pair<int, std::uint16_t>> Writes; // ledger index, value
        std::map<int, std::uint32_t> Floors;               // of the words read, when asked
    };

    // A call of the server on the group's callback.
    void Called(const test::TDataCall& call);
    void Start(TKind kind, std::uint32_t tid, const std::vector<int>& read, TPending pending);
    std::vector<OPCHANDLE> Handles(const std::vector<int>& indexes);
    // Values with a usable quality go to the ledger; floors: from the request (none: now).
    void Observe(const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                 const std::vector<std::uint16_t>& qualities, const std::vector<HRESULT>& errors,
                 const std::map<int, std::uint32_t>* floors, bool notified);
    void Finish(std::uint32_t tid, const std::string& what);

    std::uint32_t UpdateRate_;
    std::map<int, OPCHANDLE> ServerHandles_; // ledger index -> server handle
    TComPtr<IOPCServer> Server_;
    TComPtr<IUnknown> Group_;
    TComPtr<IOPCSyncIO> Sync_;
    TComPtr<IOPCAsyncIO2> Async_;
    TComPtr<test::TRecordingSink> Sink_;
    OPCHANDLE ServerGroup_ = 0;
    std::uint32_t Cookie_ = 0;
    std::uint32_t NextTransaction_ = 1;
    std::map<std::uint32_t, TPending> Pending_; // by transaction id
};

} // namespace dravon::soak
