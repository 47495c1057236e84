#include "plc/HitachiPLC.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "plc/DriverPool.h"
#include "plc/HostResolver.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"

#include <cmath>
#include <cstdio>

namespace dravon {

std::string ProtocolName(int protocol) {
    switch (protocol) {
    case ProtocolUndefined: return "undefined protocol";
    case ProtocolStandard: return "standard H-protocol";
    case ProtocolStationNumber: return "station number H-protocol";
    case ProtocolEthernet: return "ethernet H-protocol";
    default: return "unknown protocol";
    }
}

THitachiPLC::THitachiPLC(TServerContext& context, TPLCCollection& owner, std::string name)
    : Name(std::move(name)), Context_(context), Owner_(owner), Alive_(std::make_shared<THitachiPLC*>(this)) {
    for (const TVariableDef& def : StatusVariableDefs) StatusVars.AddVariable(def.Name, this, def.IsText);
    SetHost(DefaultPLCHost);
}

THitachiPLC::~THitachiPLC() { DetachDriver(); }

void THitachiPLC::SetHost(const std::string& text) {
    Host = text;
    HostUnresolved = UnresolvedReported_ = false;
    ++LookupSerial_; // an answer still under way for the previous host is stale now
    LookupPending_ = false;
    if (Host.empty() || ParseDottedIPv4(Host)) {
        ResolvedIP = Host;
        SplitResolvedIP();
        return;
    }
    ResolvedIP.clear();
    SplitResolvedIP();
    StartLookup(false);
}

void THitachiPLC::RefreshHostLookup() {
    if (LookupPending_ || Host.empty()) return;
    if (ParseDottedIPv4(Host)) {
        ApplyLookupAnswer(Host, true);
        return;
    }
    StartLookup(true);
}

void THitachiPLC::StartLookup(bool keepOnFailure) {
    if (!Context_.Resolver) {
        if (!keepOnFailure) ResolvedIP.clear();
        return;
    }
    LookupPending_ = true;
    const std::uint32_t serial = ++LookupSerial_;
    std::weak_ptr<THitachiPLC*> alive = Alive_;
    Context_.Resolver->LookupHost(Host, [alive, serial, keepOnFailure](const std::string& address) {
        auto plc = alive.lock();
        if (!plc || (*plc)->LookupSerial_ != serial) return;
        (*plc)->LookupPending_ = false;
        (*plc)->ApplyLookupAnswer(address, keepOnFailure);
    });
}

// An answer that arrives after the PLC was attached moves an Ethernet PLC to the driver of
// the new address; a serial PLC does not use the address.
void THitachiPLC::ApplyLookupAnswer(const std::string& address, bool keepOnFailure) {
    if (!address.empty()) {
        HostUnresolved = UnresolvedReported_ = false;
    } else if (!keepOnFailure && !Host.empty()) {
        HostUnresolved = true;
        ReportUnresolvedHost();
    }
    if (address.empty() && keepOnFailure) return;
    if (address == ResolvedIP) return;
    ResolvedIP = address;
    SplitResolvedIP();
    if (DrvType == DriverUdp || DrvType == DriverTcp) SetConnection(DrvType, ProtocolType);
}

void THitachiPLC::ReportUnresolvedHost() {
    // Only a PLC on Ethernet uses the address; a serial one is reported if it moves there.
    if (UnresolvedReported_ || !HostUnresolved || (DrvType != DriverUdp && DrvType != DriverTcp)) return;
    UnresolvedReported_ = true;
    if (Context_.Log)
        Context_.Log->Add(
            FormatText("Host name %s of PLC %s could not be resolved", {LogText(Host), LogText(Name)}), true);
}

void THitachiPLC::SplitResolvedIP() {
    IPOctets = {};
    std::size_t start = 0;
    for (std::size_t field = 0; field < IPOctets.size(); ++field) {
        std::size_t dot = ResolvedIP.find('.', start);
        std::string_view part =
            std::string_view(ResolvedIP)
                .substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        int value = 0;
        bool number = !part.empty() && part.size() <= 9;
        for (char c : part) {
            if (c < '0' || c > '9') {
                number = false;
                break;
            }
            value = value * 10 + (c - '0');
        }
        IPOctets[field] = number ? value : 0;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
}

void THitachiPLC::SetConnection(int drvType, int protocol) {
    IDriverPool* pool = Owner_.DriverPool();
    if (Driver && pool) pool->LeaveDriver(*Driver, *this);
    Driver = nullptr;
    if (pool && drvType >= DriverUdp && drvType <= DriverSerial)
        Driver = pool->GetDriver(drvType, ResolvedIP, protocol, SerialCom, TcpPort);
    DrvType = static_cast<std::uint8_t>(drvType);
    ProtocolType = static_cast<std::uint8_t>(protocol);
    if (drvType == DriverUdp) IPValue = ParseDottedIPv4(ResolvedIP).value_or(0);
    if (pool) pool->FreeUnusedDrivers();
    SplitResolvedIP();
    ReportUnresolvedHost();
}

void THitachiPLC::DetachDriver() {
    IDriverPool* pool = Owner_.DriverPool();
    if (!Driver) return;
    TCommDriver* driver = Driver;
    Driver = nullptr;
    if (pool) {
        pool->LeaveDriver(*driver, *this);
        pool->FreeUnusedDrivers();
    }
}

void THitachiPLC::ReleaseElements(THitachiLocation& first, int count) {
    if (count > MaxElementCount) count = MaxElementCount;
    for (int i = 1; i < count; ++i) {
        const std::uint64_t address = std::uint64_t{first.Address} + static_cast<unsigned>(i);
        if (address > 0xFFFFFFFFull) break;
        if (auto* element = FindLocation(first.Code, static_cast<std::uint32_t>(address), first.IsDoubleWord))
            element->Release();
    }
    first.Release();
}

TConnectionText THitachiPLC::ConnectionText() const {
    TConnectionText text;
    IDriverPool* pool = Owner_.DriverPool();
    if (!Driver || !pool) return text;
    const TDriverDescription driver = pool->DescribeDriver(*Driver);
    switch (driver.Kind) {
    case DriverUdp:
        text.Long =
            "Ethernet UDP (" + Host + ":" + std::to_string(TcpPort) + "), " + ProtocolName(driver.Protocol);
        text.Short = "UDP:";
        break;
    case DriverTcp:
        text.Long =
            "Ethernet TCP (" + Host + ":" + std::to_string(TcpPort) + "), " + ProtocolName(driver.Protocol);
        text.Short = "TCP:";
        break;
    case DriverSerial: {
        text.Short = "Com " + std::to_string(SerialCom) + ":";
        text.Long = "Serial 232/485, Com " + std::to_string(SerialCom) + ", " + ProtocolName(driver.Protocol);
        const TSerialPortInfo* port = Owner_.SerialPorts.Port(SerialCom);
        const int baud = port ? port->BaudRate : -1;
        if (baud != -1)
            text.Long += ", " + std::to_string(baud);
        else if (!IsIdle())
            text.Long +=
                driver.DetectedBaudText.empty() ? ", detecting speed..." : ", " + driver.DetectedBaudText;
        else
            text.Long += ", autodetect";
        text.Long += driver.BinaryMode ? ", binary" : ", ASCII";
        break;
    }
    default: text.Long = "Unknown"; break;
    }
    return text;
}

bool THitachiPLC::HasPendingWrites() {
    if (!WritesMayBePending) return false;
    for (int i = 0; i < Monitored.Count(); ++i)
        if (Monitored.Item(i).WritePending) return true;
    WritesMayBePending = false;
    return false;
}

void THitachiPLC::MarkAllTimedOut() {
    for (int i = 0; i < Monitored.Count(); ++i) Monitored.Item(i).TimedOut = true;
}

// A variable never stored keeps the quality of a never-read location: renewing its time
// stamp would serve an invented 0 as GOOD.
void THitachiPLC::RefreshStatusTimes(TDateTime now) {
    for (int i = 0; i < StatusVars.Count(); ++i) {
        THitachiLocation& variable = StatusVars.Item(i);
        if (variable.HasValue) variable.StoreReadValue(variable.GetValue(), now);
    }
}

bool THitachiPLC::IsIdle() const {
    IDriverPool* pool = Owner_.DriverPool();
    if (!Driver || !pool || Monitored.Count() == 0) return true;
    return !pool->DescribeDriver(*Driver).SentOnce;
}

void THitachiPLC::SetTimedOut(bool timedOut) {
    const TDateTime now = Context_.Clock ? Context_.Clock->Now() : 0;
    if (timedOut) {
        if (!TimedOutState) {
            ++NumberOfTimeouts;
            if (Context_.Log)
                Context_.Log->Add(FormatText("PLC %s timed out at %s", {LogText(Name), TimeDateText(now)}),
                                  true);
        }
        RefreshHostLookup();
    } else if (TimedOutState) {
        if (Context_.Log)
            Context_.Log->Add(FormatText("PLC %s restored at %s", {LogText(Name), TimeDateText(now)}), true);
    }
    TimedOutState = timedOut;
}

int THitachiPLC::CommunicationStatus() const {
    if (IsIdle()) return ComStatusIdle;
    return TimedOutState ? ComStatusError : ComStatusConnected;
}

std::string THitachiPLC::CommunicationStatusText(int status) {
    switch (status) {
    case ComStatusIdle: return "Idle";
    case ComStatusConnected: return "Connected";
    default: return "Communication error";
    }
}

std::string THitachiPLC::LastErrorText(TDateTime today) const {
    if (LastErrorCode == 5) return "BUSY (at " + TimeDateText(LastErrorAt) + ")";
    if (LastErrorAt == 0) return "-";
    char code[16];
    std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(LastErrorCode));
    const bool sameDay = std::floor(LastErrorAt) == std::floor(today);
    return std::string("H") + code + " (at " + (sameDay ? TimeText(LastErrorAt) : TimeDateText(LastErrorAt)) +
           ")";
}

int THitachiPLC::AverageComCycle() const {
    long long sum = 0;
    for (int entry : ComCycleHistory) {
        if (entry <= 0) break;
        sum += entry;
    }
    return static_cast<int>(sum / 10);
}

void THitachiPLC::ResetMaxima() {
    MaxResponseTime = 0;
    MaxResponseAt = 0;
    MaxComCycle = 0;
    MaxComCyclePercent = -1;
}

void THitachiPLC::EndOfPass(std::uint32_t tick, bool busyRetryPending) {
    Monitored.PurgeUnused();
    if (busyRetryPending) return;
    if (PassStartTick != 0 && PassSent) {
        if (PassMessages > 0) LastComCyclePercent = PassResponses * 100 / PassMessages;
        LastComCycle = static_cast<int>(TickDiff(tick, PassStartTick));
        if (LastResponseTime > LastComCycle) LastComCycle = LastResponseTime;
        for (std::size_t i = 0; i + 1 < ComCycleHistory.size(); ++i)
            ComCycleHistory[i] = ComCycleHistory[i + 1];
        ComCycleHistory.back() = LastComCycle;
    }
    PassSent = false;
    PassMessages = 0;
    PassResponses = 0;
    PassStartTick = tick;
    if (LastComCycle > MaxComCycle) {
        MaxComCycle = LastComCycle;
        MaxComCyclePercent = LastComCyclePercent;
    }
}

std::vector<TInfoRow> THitachiPLC::InfoRows(TDateTime today) const {
    auto ms = [](int value) { return std::to_string(value) + "ms"; };
    auto withPercent = [&](int value, int percent) {
        return ms(value) + (percent >= 0 ? " (" + std::to_string(percent) + "% Good)" : std::string());
    };
    return {
        {"Name", Name},
        {"PLC status", HostUnresolved && (DrvType == DriverUdp || DrvType == DriverTcp)
                           ? "Host name " + LogText(Host) + " could not be resolved"
                           : CommunicationStatusText(CommunicationStatus())},
        {"Communication info", ConnectionText().Long},
        {"Number of monitored PLC locations", std::to_string(Monitored.CountWithoutDoubleWords())},
        {"Number of timeouts", std::to_string(NumberOfTimeouts)},
        {"Last error response", LastErrorText(today)},
        {"Last response time", ms(LastResponseTime)},
        {"Maximum response time", ms(MaxResponseTime)},
        {"Last communication cycle", withPercent(LastComCycle, LastComCyclePercent)},
        {"Maximum communication cycle", withPercent(MaxComCycle, MaxComCyclePercent)},
        {"Average communication cycle (last 10)", ms(AverageComCycle())},
    };
}

int THitachiPLC::RefreshVariables(TDateTime now) {
    const int count = Monitored.CountWithoutDoubleWords();
    auto text = [&](TStatusVar which, const std::string& value) { StatusVar(which).StoreText(value, now); };
    auto number = [&](TStatusVar which, int value) {
        StatusVar(which).StoreReadValue(static_cast<std::uint32_t>(value), now);
    };
    text(stName, Name);
    number(stComStatus, CommunicationStatus());
    text(stComInfo, ConnectionText().Long);
    if (DrvType == DriverUdp || DrvType == DriverTcp) text(stComIPAddress, ResolvedIP);
    number(stMonitoredLocations, count);
    number(stLastErrorCode, LastErrorCode);
    text(stLastErrorAtDate, DateText(LastErrorAt));
    text(stLastErrorAtTime, TimeText(LastErrorAt));
    number(stNumberOfTimeouts, NumberOfTimeouts);
    number(stLastResponseTime, LastResponseTime);
    text(stLastResponseAtDate, DateText(LastResponseAt));
    text(stLastResponseAtTime, TimeText(LastResponseAt));
    number(stMaxResponseTime, MaxResponseTime);
    text(stMaxResponseAtDate, DateText(MaxResponseAt));
    text(stMaxResponseAtTime, TimeText(MaxResponseAt));
    number(stLastComCycle, LastComCycle);
    number(stLastComCyclePercent, LastComCyclePercent);
    number(stMaxComCycle, MaxComCycle);
    number(stMaxComCyclePercent, MaxComCyclePercent);
    number(stAverageComCycle, AverageComCycle());
    return count;
}

} // namespace dravon
