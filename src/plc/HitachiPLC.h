// One configured PLC: how it is reached, its monitored locations, status variables,
// statistics and the poll state the driver cycle keeps.
#pragma once

#include "app/Platform.h"
#include "plc/AddressCollection.h"
#include "plc/MemoryTypes.h"
#include "plc/Variables.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dravon {

class TCommDriver;
class TPLCCollection;
struct TServerContext;

inline constexpr const char* DefaultPLCHost = "192.168.0.1";
inline constexpr int DefaultTcpPort = 3004;
inline constexpr std::uint32_t DefaultLump = 0xFFFF0000u;
inline constexpr int DefaultTimeOut = 1000;

// Protocol types.
inline constexpr int ProtocolUndefined = 0;
inline constexpr int ProtocolStandard = 1;
inline constexpr int ProtocolStationNumber = 2;
inline constexpr int ProtocolEthernet = 3;

// "undefined protocol", "standard H-protocol", ... or "unknown protocol".
std::string ProtocolName(int protocol);

// Communication status.
inline constexpr int ComStatusIdle = 0;
inline constexpr int ComStatusConnected = 1;
inline constexpr int ComStatusError = 2;

struct TConnectionText {
    std::string Short = "<none>";
    std::string Long = "-";
};

struct TInfoRow {
    std::string Caption;
    std::string Value;
};

class THitachiPLC {
public:
    // Defaults as for a new list entry; name "PLC" + number. Made by TPLCCollection::AddPLC.
    THitachiPLC(TServerContext& context, TPLCCollection& owner, std::string name);
    ~THitachiPLC();
    THitachiPLC(const THitachiPLC&) = delete;
    THitachiPLC& operator=(const THitachiPLC&) = delete;

    // --- configuration
    std::uint8_t DrvType = 0;      // 0 none, 1 UDP, 2 TCP, 3 serial
    std::uint8_t ProtocolType = 0; // 0 undefined, 1 standard, 2 station number, 3 ethernet
    bool TimedOutState = false;
    std::string Host = DefaultPLCHost;
    std::string Name;

    // --- statistics (ms unless stated)
    int NumberOfTimeouts = 0;
    int LastErrorCode = 0;
    TDateTime LastErrorAt = 0;
    int LastResponseTime = 0;
    int MaxResponseTime = 0;
    TDateTime MaxResponseAt = 0;
    TDateTime LastResponseAt = 0;
    int LastComCycle = 0;
    int MaxComCycle = 0;
    int MaxComCyclePercent = -1;
    std::array<int, 10> ComCycleHistory{}; // entry 0 oldest, entry 9 newest
    int LastComCyclePercent = -1;

    TAddressCollection Monitored;  // sorted by code, then packed address
    TAddressCollection StatusVars; // the 20 status variables, in TStatusVar order
    std::array<int, 4> IPOctets{};
    TMemoryTypeTable MemoryTypes = dravon::MemoryTypes;
    std::string ResolvedIP = DefaultPLCHost;
    // The last lookup of Host found no address; shown as the PLC's status and logged once
    // per change of the host (not as a module that does not answer).
    bool HostUnresolved = false;
    std::uint32_t IPValue = 0; // ResolvedIP, first field most significant; UDP only
    int TcpPort = DefaultTcpPort;
    std::uint32_t Lump = DefaultLump;
    int SerialCom = 1;
    int SerialStatNo = 0;
    TCommDriver* Driver = nullptr;
    int TimeOut = DefaultTimeOut;
    bool RenameRefresh = false;

    // --- poll state kept by the driver cycle
    int ReadPos = 0;
    int WritePos = 0;
    int SavedReadPos = 0;
    int SavedWritePos = 0;
    bool WriteMode = false;
    bool RetryPending = false;
    int BusyRetryCount = 0;
    bool Responded = true;
    bool LastTxWasRequest = false;
    int LastStatus = 0;
    std::uint32_t LastGoodTick = 0;
    std::uint32_t ErrorResponseTick = 1;
    bool PassSent = false;
    std::uint32_t PassStartTick = 0;
    int PassMessages = 0;
    int PassResponses = 0;
    bool BusyLogged = false;

    TPLCCollection& Owner() const { return Owner_; }
    TServerContext& Context() const { return Context_; }

    THitachiLocation& StatusVar(TStatusVar which) const { return StatusVars.Item(which); }

    // Host := text; ResolvedIP := the lookup of text. A dotted address resolves at once;
    // a name is looked up without blocking (ResolvedIP stays empty until the answer), and
    // when the answer arrives an Ethernet PLC is attached to the driver of that address.
    void SetHost(const std::string& text);
    // Looks Host up again (at a time-out). Keeps the current address until an answer
    // with an address arrives; at most one lookup at a time.
    void RefreshHostLookup();
    bool HostLookupPending() const { return LookupPending_; }

    // Attaches the PLC to the pool's shared driver for (drvType, ResolvedIP, protocol,
    // SerialCom, TcpPort), leaving the previous one.
    void SetConnection(int drvType, int protocol);
    // Leaves the driver (pool told, unused drivers freed); DrvType stays.
    void DetachDriver();

    THitachiLocation* FindLocation(int code, std::uint32_t address, bool isDoubleWord) const {
        return Monitored.FindLocation(code, address, isDoubleWord);
    }
    // Holders that let go of an item covering count locations: elements 1..count-1 found
    // again by address and released (missing ones skipped), then the first.
    void ReleaseElements(THitachiLocation& first, int count);

    TConnectionText ConnectionText() const;
    // Whether a location has a write pending. The scan before every request is skipped
    // while no write was stored since the last scan that found none: with tens of
    // thousands of locations it was most of the server's time.
    bool HasPendingWrites();
    bool WritesMayBePending = true;
    void MarkAllTimedOut();
    // Re-stores the status variables that have a value, renewing their time stamps.
    void RefreshStatusTimes(TDateTime now);
    bool IsIdle() const;

    // --- statistics
    // Enters or leaves the timed-out state with its log lines; entering (or staying)
    // looks the host name up again.
    void SetTimedOut(bool timedOut);
    int CommunicationStatus() const;
    static std::string CommunicationStatusText(int status);
    // today: the current date-time, for the short time-date text.
    std::string LastErrorText(TDateTime today) const;
    int AverageComCycle() const;
    void ResetMaxima();
    // End of a read pass (read position wrapped, no write in progress): frees unused
    // locations; unless a BUSY retry is pending, records the cycle, restarts the pass
    // counters at tick and updates the maximum.
    void EndOfPass(std::uint32_t tick, bool busyRetryPending);
    // The eleven rows of the PLC info list.
    std::vector<TInfoRow> InfoRows(TDateTime today) const;
    // Stores the status variable values; returns the monitored-location count.
    int RefreshVariables(TDateTime now);

private:
    void StartLookup(bool keepOnFailure);
    void ApplyLookupAnswer(const std::string& address, bool keepOnFailure);
    void SplitResolvedIP();
    void ReportUnresolvedHost();

    TServerContext& Context_;
    bool UnresolvedReported_ = false;
    TPLCCollection& Owner_;
    bool LookupPending_ = false;
    std::uint32_t LookupSerial_ = 0;
    // Answers that arrive after the PLC is gone see this expire.
    std::shared_ptr<THitachiPLC*> Alive_;
};

} // namespace dravon
