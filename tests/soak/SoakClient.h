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
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace dravon {
class IClock;
class TDA2ClassFactory;
} // namespace dravon

namespace dravon::soak {

// What the clients did, by the summary's line, and the faults they found.
struct TSoakCounters {
    std::map<std::string, std::uint64_t> Counts;
    std::vector<std::string> Faults;
    void Count(const std::string& what, std::uint64_t n = 1) { Counts[what] += n; }
    void Most(const std::string& what, std::uint64_t n) { Counts[what] = std::max(Counts[what], n); }
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
    std::uint32_t SyncReadBoundMs = 0;    // a synchronous device read (and a UA request) returns within this
    std::uint32_t TransactionBoundMs = 0; // an asynchronous transaction is answered within this
};

// What both kinds of client share: name, words, the requests waiting, the last
// notification of each word and what the client got done.
class TSoakClientBase {
public:
    TSoakClientBase(TSoakEnv& env, std::string name, std::vector<int> items, std::vector<int> writable,
                    std::uint32_t boundMs)
        : Env_(env), Name_(std::move(name)), Items_(std::move(items)), Writable_(std::move(writable)),
          BoundMs_(boundMs) {
        Activity.Name = Name_;
    }
    virtual ~TSoakClientBase() = default;
    TSoakClientBase(const TSoakClientBase&) = delete;
    TSoakClientBase& operator=(const TSoakClientBase&) = delete;
    // Requests still unanswered (Publish requests are held by design).
    std::size_t Outstanding() const;
    // Requests older than the bound become faults (once each).
    virtual void CheckOverdue();
    // Every word's last notification was good and, with values, shows what the PLC holds.
    bool Settled(std::string* why, bool values) const;
    TSoakActivity Activity;

protected:
    static constexpr int Held = -1; // the kind of a request held by design
    struct TPending {
        int Kind = 0;
        std::uint32_t StartTick = 0;
        bool Overdue = false;
        bool Cancelled = false;
        std::vector<std::pair<int, std::uint16_t>> Writes; // ledger index, value
        std::vector<std::pair<int, std::uint32_t>> Reads;  // ledger index, floor when asked
    };
    // A request sent; the floors of the words it reads are those of now.
    TPending& Start(std::uint32_t id, int kind, const std::vector<int>& read = {});
    // The request answered, taken out (none: unknown).
    std::optional<TPending> Answered(std::uint32_t id);
    // Up to `most` distinct words of `from`, at random.
    std::vector<int> Pick(const std::vector<int>& from, std::size_t most);
    void Fault(const std::string& text) const { Env_.Counters->Fault(Name_ + ": " + text); }
    std::uint32_t Elapsed(std::uint32_t since) const;
    // A notified value; code: the quality or status it came with.
    void Notified(int index, bool good, std::uint32_t code, std::uint16_t value);
    void Confirm(int index, std::uint16_t value) {
        Env_.Ledger->Confirmed(index, value);
        ++Activity.Writes;
    }

    TSoakEnv& Env_;
    std::string Name_;
    std::vector<int> Items_;
    std::vector<int> Writable_;
    std::uint32_t BoundMs_;
    std::map<std::uint32_t, TPending> Pending_; // by transaction or request id

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
    ~TSoakClient() override { Disconnect(); }

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
    // Every item GOOD in a cache read; what is not, in why.
    bool AllGood(std::string* why);
    std::uint32_t UpdateRate() const { return UpdateRate_; }

private:
    enum TKind : std::uint8_t { Read, Write, Refresh };
    // A call of the server on the group's callback.
    void Called(const test::TDataCall& call);
    std::vector<OPCHANDLE> Handles(const std::vector<int>& indexes);
    // One value of an answer; request: what was asked (none: a notification, made in the
    // server's tick that delivers it, so its floor is now's).
    void Observe(OPCHANDLE client, const TVariant& value, std::uint16_t quality, const TPending* request,
                 bool notified);

    std::uint32_t UpdateRate_;
    std::map<int, OPCHANDLE> ServerHandles_; // ledger index -> server handle
    TComPtr<IOPCServer> Server_;
    TComPtr<IUnknown> Group_;
    TComPtr<IOPCSyncIO> Sync_;
    TComPtr<IOPCAsyncIO2> Async_;
    TComPtr<test::TRecordingSink> Sink_;
    TComPtr<IConnectionPoint> Point_;
    OPCHANDLE ServerGroup_ = 0;
    std::uint32_t Cookie_ = 0;
    std::uint32_t NextTransaction_ = 1;
};

} // namespace dravon::soak
