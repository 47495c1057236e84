#include "comm/TcpDriver.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "comm/Transport.h"
#include "plc/HitachiPLC.h"

#include <array>

namespace dravon {

TTcpDriver::TTcpDriver(TServerContext& context, const TDriverLink& link) : TCommDriver(context, link) {
    CreateSocket(nullptr);
}

TTcpDriver::~TTcpDriver() {
    // Events of a socket on its way out must not reach a driver that is gone.
    if (Socket_) {
        Socket_->OnConnect = nullptr;
        Socket_->OnDisconnect = nullptr;
        Socket_->OnRead = nullptr;
        Socket_->OnWrite = nullptr;
        Socket_->OnError = nullptr;
    }
}

std::uint32_t TTcpDriver::Tick() const { return Context().Clock ? Context().Clock->TickCount() : 0; }

void TTcpDriver::CreateSocket(const THitachiPLC* plc) {
    TServerContext& context = Context();
    if (!context.Transports) return;
    Socket_ = context.Transports->CreateClientSocket();
    if (!Socket_) return;
    Socket_->Address = plc ? plc->ResolvedIP : Link().Address;
    Socket_->Port = plc ? plc->TcpPort : Link().Port;
    TcpWritable = false;
    Socket_->OnConnect = [this] { SocketConnected(); };
    // A connection the PLC closed before a request saw it open brings no error event: without
    // this the driver would wait for one until the silence rule rebuilt the socket (120 s).
    Socket_->OnDisconnect = [this] { TcpReconnect = true; };
    Socket_->OnRead = [this] { SocketReadable(); };
    Socket_->OnWrite = [this] { TcpWritable = true; };
    Socket_->OnError = [this](TSocketErrorKind kind, int& code) { SocketError(kind, code); };
}

bool TTcpDriver::EnsureTcpConnected(THitachiPLC& plc) {
    if (!Socket_) {
        CreateSocket(&plc);
        // A new socket starts a new silence period and may be opened: otherwise the
        // silence check right after this would free it again at every transmission, and
        // with no error event from the freed socket it would never be opened.
        LinkAliveTick = Tick();
        TcpReconnect = true;
        return false;
    }
    if (Socket_->Active()) {
        TcpReconnect = true;
        return true;
    }
    if (TcpReconnect && !Socket_->Address.empty()) {
        TcpReconnect = false;
        LinkAliveTick = Tick();
        Socket_->Open();
        Socket_->SetNoDelay(true);
        if (Context().Debug) Context().Debug->WriteLine(0, "TCPClientSocket recreated", true);
    }
    return false;
}

void TTcpDriver::Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) {
    if (!plc) plc = CurrentPLC;
    if (!plc) return;
    // Whatever is left of an earlier answer cannot belong to this request.
    Partial_.clear();
    if (EnsureTcpConnected(*plc) && TcpWritable) {
        const int sent = Socket_->SendBuf(frame.data(), static_cast<int>(frame.size()));
        if (sent == -1) {
            TcpWritable = false;
            return;
        }
    }
    // Also after a send that went out: a hung module accepts requests and never answers.
    if (Socket_ && TickDiff(Tick(), LinkAliveTick) > SilenceLimit) {
        // The module stopped answering without closing: start over with a new socket.
        Socket_->OnConnect = nullptr;
        Socket_->OnDisconnect = nullptr;
        Socket_->OnRead = nullptr;
        Socket_->OnWrite = nullptr;
        Socket_->OnError = nullptr;
        Socket_.reset();
        TcpWritable = false;
        SilentCount += 1;
        // A host name without an address was reported as such, not as a silent module.
        if (Context().Log && !plc->HostUnresolved)
            Context().Log->Add(FormatText("TCP port on PLC %s not responding, please restart ethernet module",
                                          {LogText(plc->Name)}),
                               true);
    }
}

void TTcpDriver::ResponseArriving(std::size_t length) {
    if (length >= 6) {
        LinkAliveTick = Tick();
        SilentCount = 0;
    }
}

void TTcpDriver::SocketConnected() {
    LinkAliveTick = Tick();
    ConnectErrorLogged = false;
}

void TTcpDriver::SocketReadable() {
    // Only the bytes a read delivers are used: no need to clear the buffer first.
    std::array<std::uint8_t, ReceiveLimit> buffer;
    // Everything waiting is taken, in chunks of at most ReceiveLimit bytes, so that no
    // answer is left behind in the socket.
    while (Socket_) {
        const int n = Socket_->ReceiveBuf(buffer.data(), ReceiveLimit);
        if (n <= 0) break;
        const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(n));
        if (Protocol == 3) {
            // The usual case: a whole answer in one read is taken straight from the buffer,
            // without a copy or an allocation.
            if (Partial_.empty() &&
                (bytes.size() >= EthernetAnswerLength(bytes) || bytes.size() >= ReceiveLimit)) {
                ProcessResponse(bytes);
                RequestCycleRun();
                if (n < ReceiveLimit) break;
                continue;
            }
            // TCP is a byte stream: an answer may arrive in several pieces, and taken
            // piece by piece it would be refused and the request end by time-out.
            Partial_.insert(Partial_.end(), bytes.begin(), bytes.end());
            if (Partial_.size() >= EthernetAnswerLength(Partial_) || Partial_.size() >= ReceiveLimit) {
                std::vector<std::uint8_t> answer;
                answer.swap(Partial_);
                ProcessResponse(answer);
                RequestCycleRun();
            }
        } else {
            ParseStream(bytes);
        }
        if (n < ReceiveLimit) break;
    }
}

void TTcpDriver::SocketError(TSocketErrorKind kind, int& code) {
    LinkAliveTick = Tick();
    SilentCount = 0;
    if (kind == TSocketErrorKind::Connect) {
        if (!ConnectErrorLogged && Socket_) {
            const std::string where = Socket_->Address + "/" + std::to_string(Socket_->Port);
            const TDateTime now = Context().Clock ? Context().Clock->Now() : 0;
            if (Context().Log)
                Context().Log->Add(FormatText("Unsuccessful connection to TCP port %s at %s, retrying...",
                                              {where, TimeDateText(now)}),
                                   true);
            ConnectErrorLogged = true;
        }
        TcpReconnect = true;
    } else if (kind == TSocketErrorKind::Send) {
        TcpWritable = true;
        TcpReconnect = true;
    } else {
        TcpReconnect = true;
    }
    code = 0;
}

} // namespace dravon
