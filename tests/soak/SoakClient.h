// One OPC client of the soak, made the way a COM client is: a server object from the
// class factory, a group with an IOPCDataCallback sink, items on every PLC. Each Step
// makes one random call (an asynchronous write, an asynchronous or synchronous device
// read, a refresh, a cancel) and every answer is checked against the ledger.
#pragma once

#include "SoakLedger.h"

#include "opc/ComPtr.h"
#include "opc/OPCInterfaces.h"

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
    std::uint64_t AsyncReadsDone = 0;
    std::uint64_t Refreshes = 0;
    std::uint64_t Cancels = 0;
    std::uint64_t CancelsDone = 0;
    std::uint64_t WriteCompletes = 0;
    std::uint64_t ConfirmedNotInPlc = 0; // OnWriteComplete S_OK, yet the PLC never got the value
    std::uint64_t WriteErrors = 0;       // OnWriteComplete with an error for an element
    std::uint64_t Notifications = 0;     // OnDataChange calls
    std::uint64_t NotifiedValues = 0;
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
    // The PLC's memory now at a ledger location (the simulator's, read across its thread).
    std::function<std::uint16_t(int index)> PlcValue;
};

class TSoakSink;

class TSoakClient {
public:
    // items: ledger indexes; writable: the ones this client writes to.
    TSoakClient(TSoakEnv& env, std::string name, std::vector<int> items, std::vector<int> writable,
                std::uint32_t updateRateMs);
    ~TSoakClient();
    TSoakClient(const TSoakClient&) = delete;
    TSoakClient& operator=(const TSoakClient&) = delete;

    bool Connect();
    // Unadvise, remove the group, let go of every interface. Answers still due are lost.
    void Disconnect();
    bool Connected() const { return static_cast<bool>(Server_); }

    // One random asynchronous call (a write, a read, a refresh) or nothing.
    void Step();
    // A synchronous device read of up to five items. It processes events while it waits,
    // so the caller must not be a timer that has to keep firing meanwhile.
    void SyncDeviceRead();
    // One asynchronous write of a random writable item.
    void WriteOne();
    std::size_t Outstanding() const { return Pending_.size(); }
    // Transactions older than the bound become faults (once each).
    void CheckOverdue();
    // Every item GOOD in a cache read; what is not, in why.
    bool AllGood(std::string* why);
    // Every item's last data change was GOOD.
    bool LastNotifiedGood(std::string* why) const;
    std::uint32_t UpdateRate() const { return UpdateRate_; }

    // Called by the sink.
    void DataChange(std::uint32_t tid, const std::vector<OPCHANDLE>& clients,
                    const std::vector<TVariant>& values, const std::vector<std::uint16_t>& qualities,
                    const std::vector<HRESULT>& errors);
    void ReadComplete(std::uint32_t tid, const std::vector<OPCHANDLE>& clients,
                      const std::vector<TVariant>& values, const std::vector<std::uint16_t>& qualities,
                      const std::vector<HRESULT>& errors);
    void WriteComplete(std::uint32_t tid, const std::vector<OPCHANDLE>& clients,
                       const std::vector<HRESULT>& errors);
    void CancelComplete(std::uint32_t tid);

private:
    enum class TKind : std::uint8_t { Read, Write, Refresh };
    struct TPending {
        TKind Kind = TKind::Read;
        std::uint32_t CancelID = 0;
        std::uint32_t StartTick = 0;
        bool Cancelled = false;
        bool Overdue = false;
        std::vector<std::pair<int, std::uint16_t>> Writes; // ledger index, value
    };

    void AsyncRead();
    void Refresh();
    std::vector<OPCHANDLE> Pick(const std::vector<int>& from, std::size_t most);
    void Observe(const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                 const std::vector<std::uint16_t>& qualities, const std::vector<HRESULT>& errors);
    void Finish(std::uint32_t tid, const char* what);
    std::uint32_t Elapsed(std::uint32_t since) const;

    TSoakEnv& Env_;
    std::string Name_;
    std::vector<int> Items_;
    std::vector<int> Writable_;
    std::uint32_t UpdateRate_;
    std::map<int, OPCHANDLE> ServerHandles_; // ledger index -> server handle
    std::map<int, std::uint16_t> LastQuality_;
    TComPtr<IOPCServer> Server_;
    TComPtr<IUnknown> Group_;
    TComPtr<IOPCSyncIO> Sync_;
    TComPtr<IOPCAsyncIO2> Async_;
    TComPtr<TSoakSink> Sink_;
    OPCHANDLE ServerGroup_ = 0;
    std::uint32_t Cookie_ = 0;
    std::uint32_t NextTransaction_ = 1;
    std::map<std::uint32_t, TPending> Pending_; // by transaction id
};

} // namespace dravon::soak
