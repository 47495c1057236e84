// One transport link shared by the PLCs behind it (a COM port, a TCP connection, a UDP
// peer). This base class is the driver cycle's side of the link: the request lists, the
// wait countdown, the BUSY back-off, sending requests, and applying answers. The serial,
// TCP and UDP drivers derive from it and move the bytes.
//
// One request at a time:
//
//   ServicePLC ─ SendRead/SendWrite ─ Transmit ──► link ──► PLC
//        ▲                                                   │
//        │  Wait counts down by the manager's Elapsed         ▼
//        └── response accounting ◄─ ProcessResponse ◄─ ParseStream ◄─ received bytes
//
// What a derived driver must do:
//  - Transmit(bytes, plc): send one finished frame (plc is null for a handshake reply on
//    a serial line). Open or connect the link here as needed; a frame that cannot go out
//    is simply not sent (the request then ends by time-out).
//  - On received bytes: protocol 3 (ethernet format) call ProcessResponse(bytes) and then
//    RequestCycleRun(); other protocols call ParseStream(bytes), which asks for the run
//    itself when it decided a frame. ParseStream reads chunks longer than MessageBufferSize
//    in buffer-sized pieces; ProcessResponse cuts an ethernet payload to that size.
//  - Optionally override the hooks below (serial time allowance, unanswered-request
//    handling, extra time-out conditions, speed detection, closing an idle link).
#pragma once

#include "comm/HProtocol.h"
#include "comm/StreamParser.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dravon {

class THitachiLocation;
class THitachiPLC;
class TCommManager;
struct TServerContext;
struct TSerialPortInfo;
using TDateTime = double;

// How a driver is found again by the pool (GetDriver): its kind plus the address it was
// created for.
struct TDriverLink {
    int Kind = 0;             // 1 UDP, 2 TCP, 3 serial (plc/DriverPool.h)
    std::string Address;      // UDP RemoteHost / TCP Address (dotted IPv4 text)
    int Port = 0;             // UDP RemotePort / TCP Port
    int ComNumber = 0;        // serial: COM port number 1-8
    bool UdpPortSame = false; // UDP: the UDPPortSame setting at creation
    int Protocol = 0;
};

class TCommDriver : public IStreamSink {
public:
    static constexpr int RandomReadLimit = 55;
    static constexpr int WordBlockLimit = 120;
    static constexpr int BitBlockLimit = 240;
    static constexpr int WriteLimit = 35;
    static constexpr int ReadListCapacity = 301;

    TCommDriver(TServerContext& context, const TDriverLink& link);
    ~TCommDriver() override;
    TCommDriver(const TCommDriver&) = delete;
    TCommDriver& operator=(const TCommDriver&) = delete;

    // ---- common fields
    bool Idle = false;
    TDateTime LastResponseAt = 0;
    bool SentOnce = false;
    std::uint32_t SendTick = 0;
    std::uint32_t FirstSendTick = 0;
    std::uint32_t BusyClearTick = 0;
    bool Busy = false;
    int Sequence = 0;
    std::uint32_t LastResponseTick = 0;
    int Wait = 0;
    int UserCount = 0;
    bool Answered = true;
    THitachiPLC* CurrentPLC = nullptr;

    // ---- link state shared with the serial-format reassembly (used on every transport)
    bool SpeedDetected = false;
    int ProbeCount = 2;
    bool Probing = false;
    int MissCount = 0;
    int BinaryState = 0; // 0 not tried, 1 refused or not to be tried, 2 on
    bool BinaryMode = false;
    TStreamParser Rx; // RxAccumulator and ExpectedLength

    bool ReplyPending = false;
    std::uint32_t ReplyTick = 0;
    int BusyDelay = 0;
    int BusyDelayMax = 20000;
    std::uint8_t RequestKind = 0; // 0 read, 1 write
    std::uint8_t DrvType = 0;     // 1 UDP, 2 TCP, 3 serial
    std::uint8_t Protocol = 0;
    std::vector<THitachiLocation*> ReadList;
    std::vector<THitachiLocation*> WriteList;
    std::vector<std::uint8_t> ReplyBuffer; // ReplyLength = ReplyBuffer.size()
    int MessageCount = 0;

    // The command of the request in flight and, for a read, what its answer must carry.
    std::uint8_t RequestCommand = 0;
    std::uint32_t RequestSpan = 0;
    bool RequestBits = false;

    int ReadCount() const { return static_cast<int>(ReadList.size()); }
    int WriteCount() const { return static_cast<int>(WriteList.size()); }
    const TDriverLink& Link() const { return Link_; }
    TServerContext& Context() const { return Context_; }

    bool IsSerial() const { return DrvType == 3; }
    bool IsTcp() const { return DrvType == 2; }
    bool IsUdp() const { return DrvType == 1; }

    // The communication manager that owns the pool (posts the run-now event).
    TCommManager* Manager = nullptr;

    // ---- block planner (read/write lists)
    bool BlockReadQualifies(bool strict, std::uint32_t* span = nullptr, bool* bits = nullptr) const;
    bool CanAddRead() const;
    struct TAddResult {
        bool MoreRoom = false;
        bool Refused = false;
    };
    TAddResult AddRead(THitachiLocation& location);
    bool AddWrite(THitachiLocation& location);
    int FreeReadSlots() const;
    int FreeWriteSlots() const;

    // ---- driver cycle
    void SendRead(THitachiPLC& plc);
    void SendWrite(THitachiPLC& plc);
    void SendPendingReply();
    // Checks one answer payload and applies it (ethernet payloads as received, serial
    // format payloads as decoded by ParseStream).
    void ProcessResponse(std::span<const std::uint8_t> payload);
    // Reassembles serial-format frames from received bytes.
    void ParseStream(std::span<const std::uint8_t> received);
    // Bytes of the complete ethernet answer that starts with received (a byte stream may
    // deliver it in pieces). An answer with status 0 to the request in flight carries
    // exactly the data that request asks for, a rejection one code byte more than the
    // 8-byte header; any other answer (an earlier sequence number, BUSY, an error status)
    // is whole with its header.
    std::size_t EthernetAnswerLength(std::span<const std::uint8_t> received) const;
    // Asks the manager to run the cycle at once (posted, never run from inside a handler).
    void RequestCycleRun();
    // plc leaves this driver: when the pass or the request lists are plc's, they go.
    void LeavePLC(THitachiPLC& plc);

    // The port record of plc's SerialCom (also consulted over TCP/UDP); null outside 1-8.
    const TSerialPortInfo* PortOf(const THitachiPLC& plc) const;
    // Frame options of a request for plc on this driver.
    TFrameOptions FrameOptionsFor(const THitachiPLC& plc) const;

    // ---- transport hooks
    // Sends one finished frame. plc is null for a serial handshake reply.
    virtual void Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) = 0;
    // Sends a queued handshake reply: serial without PLC, TCP for the current PLC, UDP
    // to the remote host. Default: Transmit for the current PLC.
    virtual void TransmitReply(std::span<const std::uint8_t> reply);
    // Extra milliseconds a request may take on this link (serial: characters on the wire;
    // a probe's 2000 ms are added once by the cycle, after the clamp). write: a random write.
    virtual int SendAllowance(std::size_t frameLength, bool write) const;
    // The request got no valid answer before Wait ran out (serial: CTS flow update, the
    // partial frame dropped, the miss counter). The base drops the partial frame.
    virtual void RequestUnanswered();
    // Link-specific time-out conditions (serial: not probing, last transmission was a
    // request, speed fixed or detected or tried long enough). Default: none.
    virtual bool LinkAllowsTimeOut(const THitachiPLC& plc) const;
    // Start of ProcessResponse with the payload length (TCP: no-response counter, link
    // alive tick).
    virtual void ResponseArriving(std::size_t length);
    // A serial-format answer passed its header check: the speed is detected (the serial
    // driver logs "Serial port %s connected on %s" the first time).
    virtual void SpeedConfirmed(THitachiPLC& plc);
    // Part of the serial state that is reset when a further PLC is attached, after too
    // many misses and when an idle port is closed.
    virtual void ResetSerialState();
    // Called after MarkIdleDrivers: a serial driver closes its port when Idle.
    virtual void CloseIfIdle();
    // Detected serial speed text ("4800" ... "38400"), empty while detecting or not serial.
    virtual std::string DetectedBaudText() const;

    // IStreamSink (ParseStream's results)
    void FrameReceived(std::span<const std::uint8_t> payload) override;
    void ReplyQueued(std::span<const std::uint8_t> reply) override;
    void NakReceived() override;
    void FrameDecided() override;

private:
    void ApplyBusy(THitachiPLC& plc);
    void ResponseAccounting(THitachiPLC& plc, std::span<const std::uint8_t> payload, int dataOffset);
    void Finish(THitachiPLC& plc, const THFrame& frame, bool write);
    bool StationHandshake() const;
    // The window's lamps, for the PLC it shows.
    void SignalTx(const THitachiPLC& plc) const;
    void SignalRx(const THitachiPLC& plc) const;

    TServerContext& Context_;
    TDriverLink Link_;
    THFrame Frame_;
};

} // namespace dravon
