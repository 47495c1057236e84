#include "PlcSimulator.h"

#include "SimSession.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace dravon {

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::uint64_t kIdleWakeUs = 100000;
constexpr std::uint64_t kBitsPerByte = 10; // start + 8 data + stop, or start + 7 data + parity + stop

struct TQueued {
    std::uint64_t DueUs = 0;
    std::uint64_t StartUs = 0; // pacing: when the first bit went out
    bool Started = false;
    std::vector<std::uint8_t> Bytes;
    std::size_t Sent = 0;
    sockaddr_in Peer{};
};

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

speed_t SpeedConstant(std::uint32_t baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

} // namespace

struct TPlcSimulator::TEndpoint {
    struct TConn {
        int Fd = -1;
        TSimSession Session;
        std::deque<TQueued> Queue;
        std::uint64_t LineFreeUs = 0;
        std::uint64_t RxLineFreeUs = 0; // pacing: when the last request byte would have arrived
        bool Binary = false;
        explicit TConn(const TSimLinkConfig& link) : Session(link) {}
    };
    TSimTransportConfig Config;
    int ListenFd = -1;
    int SlaveFd = -1; // held open so the pseudo-terminal never hangs up between server sessions
    bool IsPty = false;
    std::uint16_t BoundPort = 0;
    std::string Path;
    std::vector<std::unique_ptr<TConn>> Conns; // TCP: one per connection; UDP/serial: exactly one
    sockaddr_in LastPeer{};

    explicit TEndpoint(const TSimTransportConfig& config) : Config(config) {
        Config.Link.IsSerial = Config.Kind == TSimTransportKind::Serial;
    }
    ~TEndpoint() {
        for (auto& c : Conns) CloseFd(c->Fd);
        CloseFd(ListenFd);
        CloseFd(SlaveFd);
    }

    bool OpenListener(std::string* error) {
        ListenFd = ::socket(
            AF_INET, (Config.Kind == TSimTransportKind::Tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        if (ListenFd < 0) return Fail(error, "socket");
        int one = 1;
        ::setsockopt(ListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(BoundPort != 0 ? BoundPort : Config.Port);
        if (::inet_pton(AF_INET, Config.Address.c_str(), &a.sin_addr) != 1)
            return Fail(error, "address " + Config.Address);
        if (::bind(ListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail(error, "bind");
        if (Config.Kind == TSimTransportKind::Tcp && ::listen(ListenFd, 16) != 0)
            return Fail(error, "listen");
        socklen_t len = sizeof a;
        ::getsockname(ListenFd, reinterpret_cast<sockaddr*>(&a), &len);
        BoundPort = ntohs(a.sin_port);
        SetNonBlocking(ListenFd);
        if (Config.Kind == TSimTransportKind::Udp && Conns.empty()) {
            Conns.push_back(std::make_unique<TConn>(Config.Link));
        }
        if (Config.Kind == TSimTransportKind::Udp) Conns.front()->Fd = ListenFd;
        return true;
    }

    bool OpenSerial(std::string* error) {
        int fd = -1;
        if (Config.Device.empty()) {
            fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) return Fail(error, "posix_openpt");
            char name[128];
            if (::ptsname_r(fd, name, sizeof name) != 0) return Fail(error, "ptsname");
            Path = name;
            IsPty = true;
            SlaveFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } else {
            Path = Config.Device;
            fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) return Fail(error, "open " + Path);
        }
        SetNonBlocking(fd);
        int termFd = SlaveFd >= 0 ? SlaveFd : fd;
        termios t{};
        if (::tcgetattr(termFd, &t) == 0) {
            ::cfmakeraw(&t);
            speed_t s = SpeedConstant(Config.LineSpeed != 0 ? Config.LineSpeed : 19200);
            if (s != B0) ::cfsetspeed(&t, s);
            ::tcsetattr(termFd, TCSANOW, &t);
        }
        Conns.push_back(std::make_unique<TConn>(Config.Link));
        Conns.front()->Fd = fd;
        ApplyCharFormat(*Conns.front());
        return true;
    }

    // A real port follows the host's character format: 7E1 in ASCII, 8N1 once binary.
    void ApplyCharFormat(TConn& conn) {
        conn.Binary = conn.Session.BinaryMode();
        if (IsPty || conn.Fd < 0) return;
        termios t{};
        if (::tcgetattr(conn.Fd, &t) != 0) return;
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
        t.c_cflag |= conn.Binary ? CS8 : (CS7 | PARENB);
        ::tcsetattr(conn.Fd, TCSANOW, &t);
    }

    // On a pseudo-terminal there is no wire: the speed the host set on its side stands for
    // the line speed, and a host at another speed is heard as noise.
    bool HeardAtOurSpeed(const TConn& conn) const {
        if (Config.LineSpeed == 0) return true;
        termios t{};
        if (::tcgetattr(conn.Fd, &t) != 0) return true;
        return ::cfgetospeed(&t) == SpeedConstant(Config.LineSpeed);
    }

    static bool Fail(std::string* error, const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    }
};

TPlcSimulator::TPlcSimulator(std::vector<TSimTransportConfig> transports)
    : Transports_(std::move(transports)) {}

TPlcSimulator::~TPlcSimulator() { Stop(); }

bool TPlcSimulator::Start(std::string* error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) return TEndpoint::Fail(error, "pipe");
    WakeRead_ = pipeFds[0];
    WakeWrite_ = pipeFds[1];
    for (const auto& config : Transports_) {
        auto endpoint = std::make_unique<TEndpoint>(config);
        bool ok = config.Kind == TSimTransportKind::Serial ? endpoint->OpenSerial(error)
                                                           : endpoint->OpenListener(error);
        if (!ok) {
            Endpoints_.clear();
            CloseFd(WakeRead_);
            CloseFd(WakeWrite_);
            return false;
        }
        Endpoints_.push_back(std::move(endpoint));
    }
    Stopping_ = false;
    Thread_ = std::thread([this] { Run(); });
    return true;
}

void TPlcSimulator::Stop() {
    if (Thread_.joinable()) {
        Stopping_ = true;
        Wake();
        Thread_.join();
    }
    Endpoints_.clear();
    CloseFd(WakeRead_);
    CloseFd(WakeWrite_);
}

std::uint16_t TPlcSimulator::Port(std::size_t transport) const {
    std::lock_guard lock(Mutex_);
    return transport < Endpoints_.size() ? Endpoints_[transport]->BoundPort : 0;
}

std::string TPlcSimulator::SerialPath(std::size_t transport) const {
    std::lock_guard lock(Mutex_);
    return transport < Endpoints_.size() ? Endpoints_[transport]->Path : std::string();
}

void TPlcSimulator::SetValue(int station, std::uint8_t code, std::uint32_t address, std::uint16_t value) {
    std::lock_guard lock(Mutex_);
    Engine_.Station(station).Set(code, address, value);
}

std::uint16_t TPlcSimulator::Value(int station, std::uint8_t code, std::uint32_t address) const {
    std::lock_guard lock(Mutex_);
    return Engine_.Get(station, code, address);
}

void TPlcSimulator::SetFaults(const TSimFaults& faults) {
    std::lock_guard lock(Mutex_);
    Engine_.SetFaults(faults);
}

TSimFaults TPlcSimulator::Faults() const {
    std::lock_guard lock(Mutex_);
    return Engine_.Faults();
}

void TPlcSimulator::SetPower(bool on) {
    {
        std::lock_guard lock(Mutex_);
        PowerOn_ = on;
    }
    Wake();
}

bool TPlcSimulator::Power() const {
    std::lock_guard lock(Mutex_);
    return PowerOn_;
}

void TPlcSimulator::CloseConnections() {
    {
        std::lock_guard lock(Mutex_);
        CloseRequested_ = true;
    }
    Wake();
}

void TPlcSimulator::SetLineSpeed(std::size_t transport, std::uint32_t speed) {
    std::lock_guard lock(Mutex_);
    if (transport < Endpoints_.size()) Endpoints_[transport]->Config.LineSpeed = speed;
}

void TPlcSimulator::AddAnimation(const TSimAnimation& animation) {
    {
        std::lock_guard lock(Mutex_);
        Engine_.AddAnimation(animation, NowUs() / 1000);
    }
    Wake();
}

void TPlcSimulator::ClearAnimations() {
    std::lock_guard lock(Mutex_);
    Engine_.ClearAnimations();
}

TSimStats TPlcSimulator::Stats() const {
    std::lock_guard lock(Mutex_);
    return Engine_.Stats();
}

void TPlcSimulator::ResetStats() {
    std::lock_guard lock(Mutex_);
    Engine_.Stats() = TSimStats{};
}

std::size_t TPlcSimulator::ConnectionCount() const {
    std::lock_guard lock(Mutex_);
    std::size_t n = 0;
    for (const auto& e : Endpoints_) {
        if (e->Config.Kind == TSimTransportKind::Tcp) n += e->Conns.size();
    }
    return n;
}

void TPlcSimulator::Wake() {
    if (WakeWrite_ >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t n = ::write(WakeWrite_, &c, 1);
    }
}

std::uint64_t TPlcSimulator::NowUs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void TPlcSimulator::ApplyPower() {
    for (auto& e : Endpoints_) {
        if (e->Config.Kind != TSimTransportKind::Tcp) {
            for (auto& c : e->Conns) {
                c->Queue.clear();
                c->Session.Reset();
            }
            continue;
        }
        for (auto& c : e->Conns) CloseFd(c->Fd);
        e->Conns.clear();
        if (!PowerOn_) {
            CloseFd(e->ListenFd); // connection attempts are refused
        } else if (e->ListenFd < 0) {
            e->OpenListener(nullptr);
        }
    }
    PowerApplied_ = PowerOn_;
}

void TPlcSimulator::Run() {
    struct TSlot {
        TEndpoint* Endpoint;
        TEndpoint::TConn* Conn; // null: the TCP listener
    };
    std::vector<pollfd> fds;
    std::vector<TSlot> slots;
    std::vector<std::uint8_t> buffer(kReadChunk);
    TSimOutput out;
    std::uint64_t nextAnimationMs = 0;

    while (!Stopping_) {
        fds.clear();
        slots.clear();
        std::uint64_t now = NowUs();
        std::uint64_t wakeAt = now + kIdleWakeUs;
        {
            std::lock_guard lock(Mutex_);
            fds.push_back({WakeRead_, POLLIN, 0});
            slots.push_back({nullptr, nullptr});
            for (auto& e : Endpoints_) {
                if (e->ListenFd >= 0 && e->Config.Kind == TSimTransportKind::Tcp) {
                    fds.push_back({e->ListenFd, POLLIN, 0});
                    slots.push_back({e.get(), nullptr});
                }
                for (auto& c : e->Conns) {
                    if (c->Fd < 0) continue;
                    fds.push_back({c->Fd, POLLIN, 0});
                    slots.push_back({e.get(), c.get()});
                    if (!c->Queue.empty()) {
                        const TQueued& q = c->Queue.front();
                        std::uint64_t due = q.DueUs;
                        std::uint32_t baud = e->Config.PaceBaud;
                        if (q.Started && baud > 0)
                            due = q.StartUs + (q.Sent + 1) * kBitsPerByte * 1000000 / baud;
                        wakeAt = std::min(wakeAt, std::max(due, now));
                    }
                }
            }
            if (nextAnimationMs != 0) wakeAt = std::min(wakeAt, std::max(nextAnimationMs * 1000, now));
        }
        std::uint64_t waitUs = wakeAt > now ? wakeAt - now : 0;
        timespec ts{static_cast<time_t>(waitUs / 1000000), static_cast<long>((waitUs % 1000000) * 1000)};
        ::ppoll(fds.data(), fds.size(), &ts, nullptr);

        std::lock_guard lock(Mutex_);
        now = NowUs();
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(WakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (PowerApplied_ != PowerOn_) {
            ApplyPower();
            continue; // the descriptors polled above may be gone
        }
        if (CloseRequested_) {
            CloseRequested_ = false;
            for (auto& e : Endpoints_) {
                if (e->Config.Kind != TSimTransportKind::Tcp) continue;
                for (auto& c : e->Conns) CloseFd(c->Fd);
                e->Conns.clear();
            }
            continue;
        }
        nextAnimationMs = Engine_.Animate(now / 1000);

        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            TEndpoint& e = *slots[i].Endpoint;
            TEndpoint::TConn* c = slots[i].Conn;
            if (!c) {
                int fd = ::accept4(e.ListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) continue;
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto conn = std::make_unique<TEndpoint::TConn>(e.Config.Link);
                conn->Fd = fd;
                e.Conns.push_back(std::move(conn));
                ++Engine_.Stats().Connections;
                continue;
            }
            sockaddr_in peer{};
            socklen_t peerLen = sizeof peer;
            ssize_t n = e.Config.Kind == TSimTransportKind::Udp
                            ? ::recvfrom(c->Fd, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&peer), &peerLen)
                            : ::read(c->Fd, buffer.data(), buffer.size());
            if (n <= 0) {
                if (n == 0 && e.Config.Kind == TSimTransportKind::Tcp) CloseFd(c->Fd);
                continue;
            }
            if (!PowerOn_) {
                ++Engine_.Stats().Ignored;
                continue;
            }
            if (e.Config.Kind == TSimTransportKind::Serial && !e.HeardAtOurSpeed(*c)) {
                ++Engine_.Stats().Noise;
                c->Session.Reset();
                continue;
            }
            // On a paced line the request itself takes its time on the wire: nothing can be
            // answered before its last byte would have arrived.
            std::uint64_t heardAt = now;
            if (e.Config.PaceBaud > 0 && e.Config.Kind != TSimTransportKind::Udp) {
                c->RxLineFreeUs = std::max(now, c->RxLineFreeUs) +
                                  static_cast<std::uint64_t>(n) * kBitsPerByte * 1000000 / e.Config.PaceBaud;
                heardAt = c->RxLineFreeUs;
            }
            out.Clear();
            c->Session.Receive(buffer.data(), static_cast<std::size_t>(n), Engine_, out);
            if (e.Config.Kind == TSimTransportKind::Udp) c->Session.EndOfDatagram();
            if (c->Binary != c->Session.BinaryMode()) e.ApplyCharFormat(*c);
            if (out.Close) {
                if (e.Config.Kind == TSimTransportKind::Tcp) CloseFd(c->Fd);
                continue;
            }
            std::uint64_t due = heardAt;
            std::size_t begin = 0;
            for (const auto& part : out.Parts) {
                due += static_cast<std::uint64_t>(part.DelayMs) * 1000;
                TQueued q;
                q.DueUs = due;
                q.Bytes.assign(out.Bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                               out.Bytes.begin() + static_cast<std::ptrdiff_t>(part.End));
                q.Peer = peer;
                c->Queue.push_back(std::move(q));
                begin = part.End;
            }
        }

        // Release what is due.
        for (auto& e : Endpoints_) {
            std::uint32_t baud = e->Config.Kind == TSimTransportKind::Udp ? 0 : e->Config.PaceBaud;
            for (auto& c : e->Conns) {
                while (c->Fd >= 0 && !c->Queue.empty() && c->Queue.front().DueUs <= now) {
                    TQueued& q = c->Queue.front();
                    std::size_t allowed = q.Bytes.size();
                    if (baud > 0) {
                        if (!q.Started) {
                            q.Started = true;
                            q.StartUs = std::max(q.DueUs, c->LineFreeUs);
                        }
                        std::uint64_t elapsed = now > q.StartUs ? now - q.StartUs : 0;
                        allowed = std::min<std::size_t>(
                            q.Bytes.size(),
                            static_cast<std::size_t>(elapsed * baud / kBitsPerByte / 1000000));
                    }
                    if (allowed > q.Sent) {
                        ssize_t w = e->Config.Kind == TSimTransportKind::Udp
                                        ? ::sendto(c->Fd, q.Bytes.data(), q.Bytes.size(), 0,
                                                   reinterpret_cast<const sockaddr*>(&q.Peer), sizeof q.Peer)
                                        : ::write(c->Fd, q.Bytes.data() + q.Sent, allowed - q.Sent);
                        if (w < 0) {
                            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                            if (e->Config.Kind == TSimTransportKind::Tcp) CloseFd(c->Fd);
                            c->Queue.clear();
                            break;
                        }
                        q.Sent = e->Config.Kind == TSimTransportKind::Udp
                                     ? q.Bytes.size()
                                     : q.Sent + static_cast<std::size_t>(w);
                    }
                    if (q.Sent < q.Bytes.size()) break;
                    if (baud > 0) c->LineFreeUs = q.StartUs + q.Bytes.size() * kBitsPerByte * 1000000 / baud;
                    c->Queue.pop_front();
                }
            }
            if (e->Config.Kind == TSimTransportKind::Tcp) {
                e->Conns.erase(
                    std::remove_if(e->Conns.begin(), e->Conns.end(), [](const auto& c) { return c->Fd < 0; }),
                    e->Conns.end());
            }
        }
    }
}

} // namespace dravon
