#include "comm/SerialDriver.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "comm/HProtocol.h"
#include "comm/SerialSpy.h"
#include "comm/Transport.h"
#include "plc/HitachiPLC.h"
#include "plc/SerialPortTable.h"

#include <algorithm>
#include <vector>

namespace dravon {

namespace {

int SpeedOf(int baudSetting) {
    switch (baudSetting) {
    case 4800:
    case 9600:
    case 19200:
    case 38400: return baudSetting;
    default: return 4800;
    }
}

} // namespace

TSerialDriver::TSerialDriver(TServerContext& context, const TDriverLink& link) : TCommDriver(context, link) {
    if (context.Transports) Port_ = context.Transports->CreateComPort();
    if (!Port_) return;
    Port_->SetPort("COM" + std::to_string(link.ComNumber));
    Port_->SetBaudRate(19200);
    Port_->SetDataBits(7);
    Port_->SetParity(TComParity::Even);
    Port_->SetStopBits(1);
    Port_->SetFlowControl(TComFlowControl{});
    Port_->OnRxChar = [this](int count) { RxChar(count); };
}

TSerialDriver::~TSerialDriver() {
    if (!Port_) return;
    Port_->OnRxChar = nullptr;
    if (Write_ != 0) {
        Port_->WaitForAsync(Write_);
        Port_->ReleaseAsync(Write_);
        Write_ = 0;
    }
    if (Port_->Connected()) Port_->Close();
}

int TSerialDriver::FixedBaud(const THitachiPLC* plc) const {
    if (!plc) return -1;
    const TSerialPortInfo* port = PortOf(*plc);
    if (!port || port->BaudRate == -1) return -1;
    return SpeedOf(port->BaudRate);
}

void TSerialDriver::Spy(bool transmit, std::span<const std::uint8_t> bytes, bool emptyLineFirst) {
    TServerContext& context = Context();
    if (!context.Settings.DoSerialSpy || !context.Log || !context.Clock) return;
    if (emptyLineFirst) context.Log->Add("", false);
    context.Log->Add(SerialSpyLine(transmit, context.Clock->Now(), bytes), false);
}

void TSerialDriver::Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) {
    Probing = false;
    if (plc) plc->LastTxWasRequest = true;
    if (!Port_) return;

    if (!SpeedDetected) {
        if (AttemptsAtSpeed > AttemptsPerSpeed) {
            ProbeCount = 0;
            AttemptsAtSpeed = 0;
            BaudIndex -= 1;
            if (BaudIndex < 0) BaudIndex = 3;
        }
        AttemptsAtSpeed += 1;
        TotalAttempts += 1;
        if (plc && plc->SerialCom >= 1 && plc->SerialCom <= 8) {
            const int fixed = FixedBaud(plc);
            Port_->SetBaudRate(fixed != -1 ? fixed : Speeds[static_cast<std::size_t>(BaudIndex)]);
        }
    }

    if (!Port_->Connected()) {
        std::string error;
        if (!Port_->Open(error) && !PortErrorLogged) {
            PortErrorLogged = true;
            if (Context().Log)
                Context().Log->Add(FormatText("Serial port %s not available", {Port_->Port()}), true);
        }
        if (!Port_->Connected()) return;
    }

    std::span<const std::uint8_t> out = frame;
    if (plc && Protocol != FrameProtocolEthernet) {
        const TSerialPortInfo* port = PortOf(*plc);
        const bool plain = !port || (!port->MultiDrop && !port->TrnsProc);
        if (plain) {
            if (ProbeCount < 3) {
                out = ProbeFrame();
                ProbeCount += 1;
                Probing = true;
                plc->LastTxWasRequest = false;
            } else if (BinaryState == 0 && !Context().Settings.DisableBinaryMode &&
                       plc->Lump == FrameDefaultLump && (SpeedDetected || FixedBaud(plc) != -1)) {
                out = BinaryModeSwitchFrame();
            }
        }
    }

    if (BinaryMode) {
        if (Port_->DataBits() != 8) {
            Port_->SetDataBits(8);
            Port_->SetParity(TComParity::None);
        }
    } else if (Port_->DataBits() != 7) {
        Port_->SetDataBits(7);
        Port_->SetParity(TComParity::Even);
    }

    TComFlowControl flow = Port_->FlowControl();
    const bool dtr = !(Probing && ProbeCount == 1);
    if (flow.ControlDTR != dtr) {
        flow.ControlDTR = dtr;
        Port_->SetFlowControl(flow);
    }

    if (Write_ != 0) {
        Port_->WaitForAsync(Write_);
        Port_->ReleaseAsync(Write_);
        Write_ = 0;
    }
    std::string error;
    Write_ = Port_->WriteAsync(out.data(), out.size(), error);
    if (Write_ == 0 && !error.empty() && Context().Log)
        Context().Log->Add("Failed to transmit serial message:\n\r" + error, true);

    Spy(true, out, true);
}

// A handshake reply on a serial line belongs to no PLC.
void TSerialDriver::TransmitReply(std::span<const std::uint8_t> reply) { Transmit(reply, nullptr); }

int TSerialDriver::SendAllowance(std::size_t frameLength, bool write) const {
    const int baud = Port_ && Port_->BaudRate() > 0 ? Port_->BaudRate() : 4800;
    const long perByte = write ? 10000 : 20000;
    // The 2000 ms of a probe are added once, after the clamp, by the driver cycle.
    return static_cast<int>(static_cast<long>(frameLength) * perByte / baud);
}

void TSerialDriver::RequestUnanswered() {
    UpdateCtsFlow();
    TCommDriver::RequestUnanswered();
    if (SpeedDetected) {
        MissCount += 1;
        if (MissCount > 12) ResetSerialState();
    }
}

bool TSerialDriver::LinkAllowsTimeOut(const THitachiPLC& plc) const {
    // Probes and a speed still being searched are no sign of a PLC that is away; after 24
    // transmissions every speed has had a real request, and the PLC counts as timed out.
    const bool speedKnown = SpeedDetected || FixedBaud(&plc) != -1 || TotalAttempts > SpeedSearchAttempts;
    return !Probing && plc.LastTxWasRequest && speedKnown;
}

void TSerialDriver::SpeedConfirmed(THitachiPLC& plc) {
    // Only a detected speed is news; a fixed one was set by the operator.
    const bool detecting = plc.SerialCom >= 1 && plc.SerialCom <= 8 && FixedBaud(&plc) == -1;
    if (!SpeedDetected && detecting && Port_ && Context().Log)
        Context().Log->Add(FormatText("Serial port %s connected on %s",
                                      {std::to_string(Link().ComNumber), std::to_string(Port_->BaudRate())}),
                           true);
    SpeedDetected = true;
}

void TSerialDriver::ResetSerialState() {
    TCommDriver::ResetSerialState();
    AttemptsAtSpeed = 0;
}

void TSerialDriver::CloseIfIdle() {
    if (!Idle || !Port_ || !Port_->Connected()) return;
    if (Write_ != 0) {
        Port_->WaitForAsync(Write_);
        Port_->ReleaseAsync(Write_);
        Write_ = 0;
    }
    Port_->Close();
    ResetSerialState();
}

std::string TSerialDriver::DetectedBaudText() const {
    if (!SpeedDetected || !Port_) return {};
    return std::to_string(Port_->BaudRate());
}

void TSerialDriver::UpdateCtsFlow() {
    if (!Port_ || !Port_->Connected()) return;
    TComFlowControl flow = Port_->FlowControl();
    const bool cts = Port_->CtsAsserted();
    if (flow.OutCTSFlow != cts) {
        flow.OutCTSFlow = cts;
        Port_->SetFlowControl(flow);
    }
}

void TSerialDriver::RxChar(int count) {
    std::array<std::uint8_t, ReceiveBufferSize> buffer{};
    const int n = Port_->Read(buffer.data(), std::min(count, ReceiveBufferSize));
    if (n <= 0) return;
    if (!CurrentPLC) return;
    const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(n));
    Spy(false, bytes, false);
    if (Protocol == FrameProtocolEthernet) {
        ProcessResponse(bytes);
        RequestCycleRun();
    } else {
        ParseStream(bytes);
    }
}

} // namespace dravon
