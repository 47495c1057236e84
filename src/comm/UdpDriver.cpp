#include "comm/UdpDriver.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "comm/CommManager.h"
#include "comm/Transport.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

#include <array>
#include <charconv>

namespace dravon {

namespace {

void Debug(TServerContext& context, const std::string& text) {
    if (context.Debug) context.Debug->WriteLine(0, text, true);
}

} // namespace

TUdpDriver::TUdpDriver(TServerContext& context, const TDriverLink& link) : TCommDriver(context, link) {
    UdpPortSame = link.UdpPortSame;
    if (context.Transports) Udp_ = context.Transports->CreateUdp();
    if (!Udp_) {
        // Without a component nothing can be sent; the requests end by time-out.
        UdpFailed = true;
        return;
    }
    Udp_->RemoteHost = link.Address;
    Udp_->RemotePort = link.Port;
    Udp_->SetLocalPort(UdpPortSame ? link.Port : 0);
    Udp_->ReportLevel = 1;
    Udp_->OnDataReceived = [this](int count, const std::string& from) { DataReceived(count, from); };
    Udp_->OnInvalidHost = [this](bool& handled) {
        if (!UdpFailed && Context().Log)
            Context().Log->Add(FormatText("UDP port %s failed", {LogText(Udp_->RemoteHost) + "/" +
                                                                 std::to_string(Udp_->RemotePort)}),
                               true);
        UdpFailed = true;
        handled = true;
    };
    Udp_->OnBufferInvalid = [this](bool& handled) {
        Debug(Context(), "UDP::Invalid buffer");
        handled = true;
    };
    Udp_->OnStreamInvalid = [this](bool& handled) {
        Debug(Context(), "UDP::Invalid stream");
        handled = true;
    };
    Udp_->OnStatus = [this](const std::string& status) { Debug(Context(), "UDP::OnStaus: " + status); };
}

TUdpDriver::~TUdpDriver() {
    if (!Udp_) return;
    Udp_->OnDataReceived = nullptr;
    Udp_->OnInvalidHost = nullptr;
    Udp_->OnBufferInvalid = nullptr;
    Udp_->OnStreamInvalid = nullptr;
    Udp_->OnStatus = nullptr;
    // Gives the shared local port back before the component goes.
    Udp_->SetLocalPort(0);
}

void TUdpDriver::Transmit(std::span<const std::uint8_t> frame, THitachiPLC*) {
    if (UdpFailed || !Udp_ || Udp_->RemoteHost.empty()) return;
    Udp_->SendBuffer(frame.data(), static_cast<int>(frame.size()));
}

std::optional<std::uint32_t> TUdpDriver::AddressValue(const std::string& text) {
    std::uint32_t value = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (p == end || *p != '.') return std::nullopt;
            ++p;
        }
        unsigned part = 0;
        const auto [next, ec] = std::from_chars(p, end, part);
        if (ec != std::errc() || next == p || next - p > 3 || part > 255) return std::nullopt;
        value = (value << 8) | part;
        p = next;
    }
    if (p != end) return std::nullopt;
    return value;
}

TCommDriver* TUdpDriver::DriverForSender(std::uint32_t sender) const {
    const TPLCCollection* plcs = Manager && Manager->PLCs() ? Manager->PLCs() : Context().PLCs;
    if (!plcs) return nullptr;
    for (int i = 0; i < plcs->Count(); ++i) {
        const THitachiPLC& plc = plcs->PLCByIndex(i);
        if (plc.IPValue == sender && plc.DrvType == 1 && plc.Driver) return plc.Driver;
    }
    return nullptr;
}

void TUdpDriver::Deliver(TCommDriver& driver, std::span<const std::uint8_t> bytes) {
    if (Protocol == 3)
        driver.ProcessResponse(bytes);
    else
        ParseStream(bytes);
}

void TUdpDriver::DataReceived(int, const std::string& from) {
    std::array<std::uint8_t, ReceiveLimit> buffer{};
    const int n = Udp_->ReadBuffer(buffer.data(), ReceiveLimit);
    if (n > 0) {
        const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(n));
        if (UdpPortSame) {
            const std::optional<std::uint32_t> sender = AddressValue(from);
            if (CurrentPLC && sender) {
                if (*sender == CurrentPLC->IPValue) {
                    Deliver(*this, bytes);
                } else if (TCommDriver* other = DriverForSender(*sender)) {
                    // Another PLC's answer that arrived at this shared local port.
                    if (Protocol == 3)
                        other->ProcessResponse(bytes);
                    else
                        ParseStream(bytes);
                }
            }
        } else {
            Deliver(*this, bytes);
        }
    }
    RequestCycleRun();
}

} // namespace dravon
