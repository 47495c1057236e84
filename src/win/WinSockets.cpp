#include "win/WinSockets.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace dravon {

namespace {

// The dotted address as Winsock wants it; false for anything that is not a.b.c.d.
bool ToSockAddr(const std::string& host, int port, sockaddr_in& address) {
    const auto parsed = ParseDottedIPv4(host);
    if (!parsed || port < 0 || port > 65535) return false;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(*parsed);
    return true;
}

std::string DottedText(const in_addr& address) {
    const std::uint32_t value = ntohl(address.s_addr);
    return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 0xFF) + "." +
           std::to_string((value >> 8) & 0xFF) + "." + std::to_string(value & 0xFF);
}

template <typename T>
std::function<void()> Guarded(const std::shared_ptr<T*>& alive, std::function<void(T&)> action) {
    std::weak_ptr<T*> token = alive;
    return [token, action = std::move(action)] {
        if (auto self = token.lock()) action(**self);
    };
}

} // namespace

TWinsock::TWinsock() {
    WSADATA data{};
    Ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

TWinsock::~TWinsock() {
    if (Ok_) WSACleanup();
}

// TCP client -----------------------------------------------------------------------------

TWinClientSocket::TWinClientSocket(TWinEventLoop& loop)
    : Loop_(loop), Alive_(std::make_shared<TWinClientSocket*>(this)) {}

TWinClientSocket::~TWinClientSocket() {
    Alive_.reset();
    CloseSocket();
}

void TWinClientSocket::CloseSocket() {
    if (Message_ != 0) Loop_.RemoveMessage(Message_);
    Message_ = 0;
    if (Socket_ != INVALID_SOCKET) closesocket(Socket_);
    Socket_ = INVALID_SOCKET;
    Connected_ = false;
}

void TWinClientSocket::PostError(TSocketErrorKind kind, int code) {
    Loop_.Post(Guarded<TWinClientSocket>(Alive_, [kind, code](TWinClientSocket& s) {
        int error = code;
        if (s.OnError) s.OnError(kind, error);
    }));
}

void TWinClientSocket::Open() {
    CloseSocket();
    sockaddr_in address{};
    if (!ToSockAddr(Address, Port, address)) {
        // No address: the attempt fails like an unreachable host, through the loop.
        PostError(TSocketErrorKind::Connect, WSAEADDRNOTAVAIL);
        return;
    }
    Socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (Socket_ == INVALID_SOCKET) {
        PostError(TSocketErrorKind::Connect, WSAGetLastError());
        return;
    }
    Message_ = Loop_.AddMessage([this](WPARAM socket, LPARAM event) { SocketMessage(socket, event); });
    // Makes the socket non-blocking; the outcome of connect arrives as FD_CONNECT.
    if (WSAAsyncSelect(Socket_, Loop_.Window(), Message_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        const int error = WSAGetLastError();
        CloseSocket();
        PostError(TSocketErrorKind::Connect, error);
        return;
    }
    if (connect(Socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            CloseSocket();
            PostError(TSocketErrorKind::Connect, error);
        }
    }
}

void TWinClientSocket::ApplyNoDelay() {
    const BOOL value = NoDelay_ ? TRUE : FALSE;
    setsockopt(Socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value), sizeof value);
}

void TWinClientSocket::SetNoDelay(bool on) {
    NoDelay_ = on;
    if (Socket_ != INVALID_SOCKET) ApplyNoDelay();
}

void TWinClientSocket::SocketMessage(WPARAM socket, LPARAM lParam) {
    if (static_cast<SOCKET>(socket) != Socket_) return;
    const int event = WSAGETSELECTEVENT(lParam);
    int error = WSAGETSELECTERROR(lParam);
    // Each branch calls the driver last: the driver may free this component in its handler.
    switch (event) {
    case FD_CONNECT:
        if (error != 0) {
            CloseSocket();
            if (OnError) OnError(TSocketErrorKind::Connect, error);
            return;
        }
        Connected_ = true;
        ApplyNoDelay();
        // Winsock posts FD_WRITE after the connection; that is the driver's write event.
        if (OnConnect) OnConnect();
        return;
    case FD_READ:
        if (error != 0) {
            if (OnError) OnError(TSocketErrorKind::Receive, error);
            return;
        }
        if (OnRead) OnRead();
        return;
    case FD_WRITE:
        if (OnWrite) OnWrite();
        return;
    case FD_CLOSE:
        CloseSocket();
        if (error != 0) {
            std::weak_ptr<TWinClientSocket*> token = Alive_;
            if (OnError) OnError(TSocketErrorKind::Disconnect, error);
            if (token.expired()) return;
        }
        if (OnDisconnect) OnDisconnect();
        return;
    default: return;
    }
}

int TWinClientSocket::SendBuf(const std::uint8_t* data, int length) {
    if (!Connected_ || length < 0) return -1;
    const int sent = send(Socket_, reinterpret_cast<const char*>(data), length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int TWinClientSocket::ReceiveBuf(std::uint8_t* buffer, int maxLength) {
    if (maxLength <= 0 || Socket_ == INVALID_SOCKET) return 0;
    const int received = recv(Socket_, reinterpret_cast<char*>(buffer), maxLength, 0);
    return received > 0 ? received : 0;
}

// UDP ------------------------------------------------------------------------------------

TWinNMUDP::TWinNMUDP(TWinEventLoop& loop) : Loop_(loop), Alive_(std::make_shared<TWinNMUDP*>(this)) {}

TWinNMUDP::~TWinNMUDP() {
    Alive_.reset();
    CloseSocket();
}

void TWinNMUDP::Status(const std::string& text) {
    if (ReportLevel > 0 && OnStatus) OnStatus(text);
}

void TWinNMUDP::CloseSocket() {
    if (Message_ != 0) Loop_.RemoveMessage(Message_);
    Message_ = 0;
    if (Socket_ != INVALID_SOCKET) closesocket(Socket_);
    Socket_ = INVALID_SOCKET;
}

void TWinNMUDP::Bind() {
    CloseSocket();
    Socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (Socket_ == INVALID_SOCKET) {
        Status("socket failed: error " + std::to_string(WSAGetLastError()));
        return;
    }
    // Several components may share one local port.
    const BOOL reuse = TRUE;
    setsockopt(Socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(LocalPort_));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(Socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = WSAGetLastError();
        CloseSocket();
        Status("bind to local port " + std::to_string(LocalPort_) + " failed: error " +
               std::to_string(error));
        return;
    }
    Message_ = Loop_.AddMessage([this](WPARAM socket, LPARAM event) { SocketMessage(socket, event); });
    WSAAsyncSelect(Socket_, Loop_.Window(), Message_, FD_READ);
}

void TWinNMUDP::SetLocalPort(int port) {
    LocalPort_ = port;
    // Port 0 on a component being freed releases the shared port at once.
    if (port == 0 && Socket_ != INVALID_SOCKET) {
        CloseSocket();
        return;
    }
    Bind();
}

int TWinNMUDP::LocalPort() const {
    if (Socket_ == INVALID_SOCKET) return LocalPort_;
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(Socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return LocalPort_;
    return ntohs(local.sin_port);
}

void TWinNMUDP::SendBuffer(const std::uint8_t* data, int length) {
    if (RemoteHost.empty() || length <= 0) return;
    sockaddr_in remote{};
    if (!ToSockAddr(RemoteHost, RemotePort, remote)) {
        // Reported through the loop, as the component would after its own lookup failed.
        Loop_.Post(Guarded<TWinNMUDP>(Alive_, [](TWinNMUDP& u) {
            bool handled = false;
            if (u.OnInvalidHost) u.OnInvalidHost(handled);
        }));
        return;
    }
    if (Socket_ == INVALID_SOCKET) Bind();
    if (Socket_ == INVALID_SOCKET) return;
    if (sendto(Socket_, reinterpret_cast<const char*>(data), length, 0,
               reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == SOCKET_ERROR)
        Status("send failed: error " + std::to_string(WSAGetLastError()));
}

void TWinNMUDP::SocketMessage(WPARAM socket, LPARAM lParam) {
    if (static_cast<SOCKET>(socket) != Socket_ || WSAGETSELECTEVENT(lParam) != FD_READ) return;
    // The largest datagram; each read re-arms FD_READ while more are waiting.
    std::vector<std::uint8_t> datagram(65536);
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int n =
        recvfrom(Socket_, reinterpret_cast<char*>(datagram.data()), static_cast<int>(datagram.size()), 0,
                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return; // a port-unreachable answer to an earlier send: nothing to read
    datagram.resize(static_cast<std::size_t>(n));
    Current_ = std::move(datagram);
    const std::weak_ptr<TWinNMUDP*> token = Alive_;
    if (OnDataReceived) OnDataReceived(n, DottedText(from.sin_addr));
    if (!token.expired()) Current_.clear();
}

int TWinNMUDP::ReadBuffer(std::uint8_t* buffer, int maxLength) {
    const int n = std::min<int>(maxLength, static_cast<int>(Current_.size()));
    if (n <= 0) return 0;
    std::copy_n(Current_.data(), n, buffer);
    Current_.clear();
    return n;
}

// Host lookup ----------------------------------------------------------------------------

TWinHostResolver::TWinHostResolver(TWinEventLoop& loop)
    : Loop_(loop), Alive_(std::make_shared<TWinHostResolver*>(this)) {
    Message_ = Loop_.AddMessage([this](WPARAM task, LPARAM result) { Answer(task, result); });
}

TWinHostResolver::~TWinHostResolver() {
    Alive_.reset();
    for (const auto& entry : Pending_) WSACancelAsyncRequest(entry.first);
    Loop_.RemoveMessage(Message_);
}

void TWinHostResolver::LookupHost(const std::string& name,
                                  std::function<void(const std::string& address)> done) {
    TLookup lookup{std::make_unique<char[]>(MAXGETHOSTSTRUCT), std::move(done)};
    HANDLE task = name.empty() ? nullptr
                               : WSAAsyncGetHostByName(Loop_.Window(), Message_, name.c_str(),
                                                       lookup.Buffer.get(), MAXGETHOSTSTRUCT);
    if (!task) {
        // Not started: the failure still arrives later, on the loop.
        Loop_.Post([done = std::move(lookup.Done)] { done({}); });
        return;
    }
    Pending_.emplace(task, std::move(lookup));
}

void TWinHostResolver::Answer(WPARAM task, LPARAM result) {
    auto found = Pending_.find(reinterpret_cast<HANDLE>(task));
    if (found == Pending_.end()) return;
    TLookup lookup = std::move(found->second);
    Pending_.erase(found);
    std::string last;
    if (WSAGETASYNCERROR(result) == 0) {
        const auto* host = reinterpret_cast<const hostent*>(lookup.Buffer.get());
        if (host->h_addrtype == AF_INET && host->h_length == 4)
            for (char** entry = host->h_addr_list; entry && *entry; ++entry) {
                in_addr address{};
                std::copy_n(*entry, 4, reinterpret_cast<char*>(&address));
                last = DottedText(address);
            }
    }
    lookup.Done(last);
}

} // namespace dravon
