#include "comm/CommDriver.h"

#include "app/ServerContext.h"
#include "comm/CommManager.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

#include <algorithm>

namespace dravon {

TCommDriver::TCommDriver(TServerContext& context, const TDriverLink& link) : Context_(context), Link_(link) {
    DrvType = static_cast<std::uint8_t>(link.Kind);
    Protocol = static_cast<std::uint8_t>(link.Protocol);
    ReadList.reserve(ReadListCapacity);
    WriteList.reserve(WriteLimit);
}

TCommDriver::~TCommDriver() = default;

// ---------------------------------------------------------------- block planner

bool TCommDriver::BlockReadQualifies(bool strict, std::uint32_t* spanOut, bool* bitsOut) const {
    if (ReadList.empty()) return false;
    const THitachiLocation& first = *ReadList.front();
    const THitachiLocation& last = *ReadList.back();
    if (first.VarType != last.VarType || first.Code != last.Code) return false;
    long span = static_cast<long>(last.Address) - static_cast<long>(first.Address) + 1;
    if (span <= 0) return false;
    bool bits = first.VarType == VarTypeBool;
    long limit = bits ? BitBlockLimit : WordBlockLimit;
    if (strict ? span >= limit : span > limit) return false;
    if (spanOut) *spanOut = static_cast<std::uint32_t>(span);
    if (bitsOut) *bitsOut = bits;
    const TSettings& settings = Context_.Settings;
    if (settings.MinBlockUsage < 0 || settings.MinBlockUsage > 100 || settings.MinBlockSize < 0 ||
        settings.MinBlockSize > 54)
        return false;
    // The block's unused share (100 - count * 100 / span, in whole percent) may not exceed
    // 100 - MinBlockUsage; compared as count * 100 >= MinBlockUsage * span, which is the
    // same test without a division (this runs several times per location of every request).
    const long used = static_cast<long>(ReadCount()) * 100L;
    return used >= static_cast<long>(settings.MinBlockUsage) * span && ReadCount() >= settings.MinBlockSize;
}

bool TCommDriver::CanAddRead() const {
    if (ReadCount() >= ReadListCapacity) return false;
    // The cheap test first: below the random-read limit the block test cannot change the answer.
    return ReadCount() < RandomReadLimit || BlockReadQualifies(true);
}

TCommDriver::TAddResult TCommDriver::AddRead(THitachiLocation& location) {
    TAddResult result;
    if (!CanAddRead()) return result;
    if (location.ReadRequested && !location.IsDoubleWord) {
        ReadList.push_back(&location);
        if (ReadCount() > RandomReadLimit) {
            std::uint32_t span = 0;
            bool bits = false;
            if (!BlockReadQualifies(false, &span, &bits)) {
                ReadList.pop_back();
                result.Refused = true;
                return result;
            }
            location.TimedOut = false;
            // CanAddRead() from what the test above found: the strict test differs only
            // in refusing a span that already fills a block (saves a pass per location).
            const std::uint32_t limit = bits ? BitBlockLimit : WordBlockLimit;
            result.MoreRoom = ReadCount() < ReadListCapacity && span < limit;
            return result;
        }
        location.TimedOut = false;
    }
    result.MoreRoom = CanAddRead();
    return result;
}

bool TCommDriver::AddWrite(THitachiLocation& location) {
    if (WriteCount() >= WriteLimit) return false;
    if (location.WritePending && !location.IsDoubleWord) {
        location.TimedOut = false;
        WriteList.push_back(&location);
    }
    return WriteCount() < WriteLimit;
}

int TCommDriver::FreeReadSlots() const {
    if (ReadCount() <= RandomReadLimit) return RandomReadLimit - ReadCount();
    bool bits = ReadList.front()->VarType == VarTypeBool;
    return (bits ? BitBlockLimit : WordBlockLimit) - ReadCount();
}

int TCommDriver::FreeWriteSlots() const { return WriteLimit - WriteCount(); }

// ---------------------------------------------------------------- requests

const TSerialPortInfo* TCommDriver::PortOf(const THitachiPLC& plc) const {
    return plc.Owner().SerialPorts.Port(plc.SerialCom);
}

TFrameOptions TCommDriver::FrameOptionsFor(const THitachiPLC& plc) const {
    TFrameOptions options;
    options.Protocol = Protocol;
    options.Binary = BinaryMode;
    if (const TSerialPortInfo* port = PortOf(plc)) {
        options.MultiDrop = port->MultiDrop;
        options.TrnsProc = port->TrnsProc;
    }
    options.Station = plc.SerialStatNo;
    options.Lump = plc.Lump;
    options.Sequence = static_cast<std::uint8_t>(Sequence);
    return options;
}

void TCommDriver::SignalTx(const THitachiPLC& plc) const {
    if (&plc == Context_.LampPLC && Context_.Lamps) Context_.Lamps->ActivateTxLed(&plc);
}

void TCommDriver::SignalRx(const THitachiPLC& plc) const {
    if (&plc == Context_.LampPLC && Context_.Lamps) Context_.Lamps->ActivateRxLed(&plc);
}

void TCommDriver::SendRead(THitachiPLC& plc) {
    if (ReadList.empty()) return;
    SignalTx(plc);
    Answered = false;
    Sequence = (Sequence + 1) % 256;
    BuildHeader(Frame_, FrameOptionsFor(plc));
    std::uint32_t span = 0;
    bool bits = false;
    if (BlockReadQualifies(false, &span, &bits)) {
        const THitachiLocation& first = *ReadList.front();
        PutBlockRead(Frame_, {static_cast<std::uint8_t>(first.Code), first.Address},
                     static_cast<std::uint8_t>(span));
        RequestCommand = CmdBlockRead;
        RequestSpan = span;
        RequestBits = bits;
    } else {
        std::array<TWireLocation, ReadListCapacity> wire;
        std::size_t n = 0;
        for (const THitachiLocation* location : ReadList) {
            wire[n++] = {static_cast<std::uint8_t>(location->Code), location->Address};
        }
        PutRandomRead(Frame_, std::span<const TWireLocation>(wire.data(), n));
        RequestCommand = CmdRandomRead;
        RequestSpan = 0;
        RequestBits = false;
    }
    if (!plc.RetryPending) {
        for (THitachiLocation* location : ReadList) ++location->ErrorCount;
    }
    FinishFrame(Frame_);
    RequestKind = 0;
    Finish(plc, Frame_, false);
}

void TCommDriver::SendWrite(THitachiPLC& plc) {
    if (WriteList.empty()) return;
    SignalTx(plc);
    Answered = false;
    Sequence = (Sequence + 1) % 256;
    BuildHeader(Frame_, FrameOptionsFor(plc));
    std::array<TWireWrite, WriteLimit> wire;
    std::size_t n = 0;
    for (const THitachiLocation* location : WriteList) {
        wire[n++] = {{static_cast<std::uint8_t>(location->Code), location->Address},
                     static_cast<std::uint16_t>(location->GetValue() & 0xFFFF)};
    }
    PutRandomWrite(Frame_, std::span<const TWireWrite>(wire.data(), n));
    FinishFrame(Frame_);
    // A value written by a client from now on is newer than the one on its way. A double
    // word is never sent itself: its value is on its way once neither half waits any more.
    for (THitachiLocation* location : WriteList) location->WriteRequested = false;
    for (THitachiLocation* location : WriteList)
        for (THitachiLocation* owner : {location->HighLink, location->LowLink})
            if (owner && owner->IsDoubleWord && !(owner->HighLink && owner->HighLink->WriteRequested) &&
                !(owner->LowLink && owner->LowLink->WriteRequested))
                owner->WriteRequested = false;
    RequestCommand = CmdRandomWrite;
    RequestKind = 1;
    Finish(plc, Frame_, true);
}

void TCommDriver::Finish(THitachiPLC& plc, const THFrame& frame, bool write) {
    Transmit(frame.Bytes, &plc);
    std::uint32_t now = Context_.Clock->TickCount();
    if (!SentOnce) FirstSendTick = now;
    SentOnce = true;
    plc.Responded = false;
    SendTick = now;
    plc.PassMessages += 1;
    long wait = static_cast<long>(plc.TimeOut) + SendAllowance(frame.Bytes.size(), write);
    wait = std::clamp(wait, 300L, 3600000L);
    if (Probing) wait += 2000;
    Wait = static_cast<int>(wait);
}

void TCommDriver::SendPendingReply() {
    if (!ReplyBuffer.empty()) {
        TransmitReply(ReplyBuffer);
        Wait += 50;
    }
    ReplyBuffer.clear();
    ReplyPending = false;
}

void TCommDriver::RequestCycleRun() {
    if (Manager) Manager->PostRunNow();
}

void TCommDriver::LeavePLC(THitachiPLC& plc) {
    bool listsArePlcs = false;
    for (const THitachiLocation* location : ReadList) listsArePlcs |= location->PLC == &plc;
    for (const THitachiLocation* location : WriteList) listsArePlcs |= location->PLC == &plc;
    if (CurrentPLC == &plc || listsArePlcs) {
        // An answer still on its way finds no owner and no lists and is ignored.
        CurrentPLC = nullptr;
        ReadList.clear();
        WriteList.clear();
        Answered = true;
    }
    if (UserCount > 0) --UserCount;
}

// ---------------------------------------------------------------- answers

void TCommDriver::ParseStream(std::span<const std::uint8_t> received) {
    Rx.ParseStream(received, BinaryMode, StationHandshake(), *this);
}

bool TCommDriver::StationHandshake() const {
    if (!IsSerial() && Protocol == FrameProtocolStationNumber) return true;
    if (!CurrentPLC) return false;
    const TSerialPortInfo* port = PortOf(*CurrentPLC);
    return port && (port->MultiDrop || port->TrnsProc);
}

void TCommDriver::FrameReceived(std::span<const std::uint8_t> payload) { ProcessResponse(payload); }

void TCommDriver::ReplyQueued(std::span<const std::uint8_t> reply) {
    ReplyBuffer.assign(reply.begin(), reply.end());
    ReplyPending = true;
    ReplyTick = Context_.Clock->TickCount();
}

void TCommDriver::NakReceived() {
    if (!SpeedDetected) ProbeCount = 0;
}

void TCommDriver::FrameDecided() { RequestCycleRun(); }

void TCommDriver::ProcessResponse(std::span<const std::uint8_t> payload) {
    if (payload.size() > MessageBufferSize) payload = payload.first(MessageBufferSize);
    const std::size_t n = payload.size();
    ResponseArriving(n);
    const std::uint32_t now = Context_.Clock->TickCount();
    THitachiPLC* plc = CurrentPLC;
    // An answer is a sign of life of the link also when it arrives between two PLCs' turns.
    if (!IsSerial() && n >= 6) {
        LastResponseAt = Context_.Clock->Now();
        LastResponseTick = now;
        if (plc) plc->LastResponseTime = static_cast<int>(TickDiff(now, SendTick));
    }
    // Without an owner there is no request this could answer.
    if (!plc) return;

    int dataOffset = 8;
    if (Protocol == FrameProtocolEthernet) {
        if (n < 7) return;
        SignalRx(*plc);
        std::uint8_t status = payload[6];
        if (status == 5) {
            ApplyBusy(*plc);
            return;
        }
        if (status == 8) {
            BusyDelay = 20000;
            Wait = 0;
        }
        MessageCount += 1;
        plc->LastStatus = status;
        if (payload[1] != Sequence) {
            if (IsTcp() && payload[1] == (Sequence + 255) % 256) Wait += 200;
            return;
        }
        BusyDelay = BusyDelayMax / 2;
    } else {
        TResponseLayout layout;
        layout.Protocol = Protocol;
        layout.SerialDriver = IsSerial();
        if (const TSerialPortInfo* port = PortOf(*plc)) {
            layout.MultiDrop = port->MultiDrop;
            layout.TrnsProc = port->TrnsProc;
        }
        layout.Station = plc->SerialStatNo;
        layout.Lump = plc->Lump;
        dataOffset = ResponseDataOffset(layout);
        if (dataOffset < 2 || n + 1 < static_cast<std::size_t>(dataOffset) || n < 1) {
            plc->LastStatus = 0;
            return;
        }
        if (!SerialHeaderMatches(layout, payload)) return;
        std::uint8_t status = payload[static_cast<std::size_t>(dataOffset) - 2];
        std::uint8_t echo =
            n >= static_cast<std::size_t>(dataOffset) ? payload[static_cast<std::size_t>(dataOffset) - 1] : 0;
        SpeedConfirmed(*plc);
        LastResponseAt = Context_.Clock->Now();
        LastResponseTick = now;
        plc->LastGoodTick = now;
        plc->LastResponseTime = static_cast<int>(TickDiff(now, SendTick));
        plc->LastStatus = status;
        SignalRx(*plc);
        if (echo == CmdSetBinaryMode) {
            if (status == 0) {
                BinaryMode = true;
                BinaryState = 2;
            } else {
                BinaryState = 1;
            }
        }
    }
    ResponseAccounting(*plc, payload, dataOffset);
}

std::size_t TCommDriver::EthernetAnswerLength(std::span<const std::uint8_t> received) const {
    constexpr std::size_t header = 8;
    // Seven bytes end with the status: a BUSY or error answer without its echo is whole
    // (a UDP datagram of these bytes is acted on as well). Status 0 still waits for data.
    if (received.size() == header - 1 && received[6] != 0) return header - 1;
    if (received.size() < header) return header;
    const std::uint8_t status = received[6];
    const std::uint8_t echo = received[7];
    if (Answered || received[1] != Sequence || echo != RequestCommand) return header;
    if (status == 1) return header + 1;
    if (status != 0 || RequestKind != 0) return header;
    return header +
           (RequestCommand == CmdBlockRead ? BlockDataLength(RequestSpan, RequestBits) : 2 * ReadList.size());
}

void TCommDriver::ApplyBusy(THitachiPLC& plc) {
    if (BusyDelay == 0) BusyDelay = 20000;
    if (BusyDelay < 30000) BusyDelay *= 2;
    BusyDelayMax = std::max(BusyDelayMax, BusyDelay);
    if (IsTcp()) {
        Wait += BusyDelay;
    } else if (IsUdp()) {
        int waitTime = Context_.Settings.WaitTime;
        Wait = waitTime > 0 ? waitTime / 2 : 100;
        plc.BusyRetryCount += 1;
        if (plc.BusyRetryCount <= Context_.Settings.BusyRetries) {
            plc.PassMessages -= 1;
            plc.ReadPos = plc.SavedReadPos;
            plc.WritePos = plc.SavedWritePos;
            plc.RetryPending = true;
        }
    }
    Busy = true;
}

void TCommDriver::ResponseAccounting(THitachiPLC& plc, std::span<const std::uint8_t> payload,
                                     int dataOffset) {
    const std::size_t n = payload.size();
    const auto d = static_cast<std::size_t>(dataOffset);
    std::uint8_t status = n >= d - 1 ? payload[d - 2] : 0xFF;
    std::uint8_t echo = n >= d ? payload[d - 1] : 0;
    bool success = n >= d && IsSuccess(status, echo);
    bool rejection = IsRejection(payload, dataOffset);

    // The answer must be the one the request in flight asks for: its command echoed and,
    // for data, exactly the length the request makes us expect. A late or repeated answer
    // never lands in the locations of another request, nor cuts its wait short. The
    // binary-switch answer comes for a request that the serial line replaced by the switch.
    bool outstanding = !Answered && echo == RequestCommand;
    if (!outstanding && echo != CmdSetBinaryMode) return;
    if (success && outstanding) {
        std::size_t expected = d;
        if (RequestKind == 0) {
            expected += RequestCommand == CmdBlockRead ? BlockDataLength(RequestSpan, RequestBits)
                                                       : 2 * ReadList.size();
        }
        if (n != expected) success = false;
    }
    if ((success || rejection) && outstanding) {
        plc.PassResponses += 1;
        Answered = true;
        const TDateTime nowDate = Context_.Clock->Now();
        if (RequestKind == 0) {
            std::span<const std::uint8_t> data = payload.subspan(std::min(d, n));
            std::uint32_t first = ReadList.empty() ? 0 : ReadList.front()->Address;
            for (std::size_t k = 0; k < ReadList.size(); ++k) {
                THitachiLocation& location = *ReadList[k];
                if (rejection) {
                    location.MarkRead(nowDate);
                } else if (RequestCommand == CmdBlockRead) {
                    std::uint16_t value = 0;
                    if (BlockValue(data, first, location.Address, RequestBits, value)) {
                        location.StoreReadValue(value, nowDate);
                    }
                } else {
                    location.StoreReadValue(static_cast<std::uint32_t>((data[2 * k] << 8) | data[2 * k + 1]),
                                            nowDate);
                }
                location.AddressError = rejection;
                location.SkipNextRead = false;
                location.ReadRequested = false;
                location.ErrorCount = 0;
            }
        } else {
            // A rejected write is decided too: its value is withdrawn, not sent again
            // unless a client writes again, and the address is marked in error. Only a
            // newer value written meanwhile stays pending.
            auto confirm = [&](THitachiLocation& location) {
                location.WriteDoneTime = nowDate;
                location.WriteRejected = rejection;
                if (rejection) location.AddressError = true;
                if (!location.WriteRequested) location.WritePending = false;
            };
            for (THitachiLocation* location : WriteList) {
                confirm(*location);
                for (THitachiLocation* owner : {location->HighLink, location->LowLink}) {
                    if (!owner || !owner->IsDoubleWord) continue;
                    confirm(*owner);
                    if (!owner->WriteRequested) {
                        if (owner->HighLink && !owner->HighLink->WriteRequested)
                            owner->HighLink->WritePending = false;
                        if (owner->LowLink && !owner->LowLink->WriteRequested)
                            owner->LowLink->WritePending = false;
                    }
                }
            }
        }
    }
    ReadList.clear();
    WriteList.clear();
    if (IsSerial()) {
        Wait = 70;
    } else {
        Wait = 0;
        const TSettings& settings = Context_.Settings;
        if (settings.MsgCountBeforeWait > 0 && MessageCount >= settings.MsgCountBeforeWait) {
            Wait += settings.WaitTime;
            MessageCount = 0;
        }
    }
    plc.Responded = true;
}

// ---------------------------------------------------------------- default hooks

void TCommDriver::TransmitReply(std::span<const std::uint8_t> reply) { Transmit(reply, CurrentPLC); }

int TCommDriver::SendAllowance(std::size_t, bool) const { return 0; }

void TCommDriver::RequestUnanswered() { Rx.Clear(); }

bool TCommDriver::LinkAllowsTimeOut(const THitachiPLC&) const { return true; }

void TCommDriver::ResponseArriving(std::size_t) {}

void TCommDriver::SpeedConfirmed(THitachiPLC&) { SpeedDetected = true; }

void TCommDriver::ResetSerialState() {
    SpeedDetected = false;
    ProbeCount = 0;
    BinaryMode = false;
    BinaryState = 0;
    MissCount = 0;
    ReplyPending = false;
    ReplyBuffer.clear();
    if (Protocol == FrameProtocolEthernet) {
        BinaryMode = true;
        BinaryState = 2;
    }
}

void TCommDriver::CloseIfIdle() {}

std::string TCommDriver::DetectedBaudText() const { return {}; }

} // namespace dravon
