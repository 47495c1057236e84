// dravon-plcsim: the PLC simulator as a program. Opens the transports, prints where they
// are, then takes commands from stdin and from the optional control socket.
#include "PlcSimulator.h"
#include "SimCommandInterpreter.h"
#include "SimOptions.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct TControlClient {
    int Fd = -1;
    std::string Line;
};

int OpenControl(const std::string& address, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

int main(int argc, char** argv) {
    using namespace dravon;
    TSimOptions options;
    std::string error;
    if (!ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "dravon-plcsim: " << error << "\n";
        return 2;
    }
    if (options.Help) {
        std::cout << SimUsageText();
        return 0;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &signals,
                      nullptr); // before the simulator's thread starts: it inherits the mask
    int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

    TPlcSimulator simulator(options.Transports);
    if (!simulator.Start(&error)) {
        std::cerr << "dravon-plcsim: " << error << "\n";
        return 1;
    }
    for (std::size_t i = 0; i < options.Transports.size(); ++i) {
        const auto& t = options.Transports[i];
        std::string path = simulator.SerialPath(i);
        if (t.Kind == TSimTransportKind::Serial) {
            std::cout << "serial " << i << " " << path << " protocol " << t.Link.Protocol << "\n";
        } else {
            std::cout << (t.Kind == TSimTransportKind::Tcp ? "tcp " : "udp ") << i << " " << t.Address << ":"
                      << simulator.Port(i) << " protocol " << t.Link.Protocol << "\n";
        }
    }
    TSimCommandInterpreter interpreter(simulator);
    bool quit = false;
    for (const auto& command : options.Commands) {
        std::string answer = interpreter.Execute(command, quit);
        if (answer.rfind("ok", 0) != 0) {
            std::cerr << "dravon-plcsim: " << command << ": " << answer << "\n";
            return 2;
        }
    }
    int controlFd = -1;
    if (options.ControlPort >= 0) {
        controlFd = OpenControl(options.ControlAddress, options.ControlPort);
        if (controlFd < 0) {
            std::cerr << "dravon-plcsim: cannot open control port " << options.ControlPort << "\n";
            return 1;
        }
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(controlFd, reinterpret_cast<sockaddr*>(&a), &len);
        std::cout << "control " << options.ControlAddress << ":" << ntohs(a.sin_port) << "\n";
    }
    std::cout << "ready" << std::endl;

    std::vector<TControlClient> clients;
    std::string stdinLine;
    bool stdinOpen = options.ReadStdin;
    while (!quit) {
        std::vector<pollfd> fds{
            {signalFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}, {controlFd, POLLIN, 0}};
        for (const auto& c : clients) fds.push_back({c.Fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents & POLLIN) break;
        char buffer[1024];
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n <= 0) {
                stdinOpen = false; // keep serving; stop with a signal or over the control socket
            } else {
                stdinLine.append(buffer, static_cast<std::size_t>(n));
                for (auto nl = stdinLine.find('\n'); nl != std::string::npos && !quit;
                     nl = stdinLine.find('\n')) {
                    std::cout << interpreter.Execute(stdinLine.substr(0, nl), quit) << std::endl;
                    stdinLine.erase(0, nl + 1);
                }
            }
        }
        if (controlFd >= 0 && (fds[2].revents & POLLIN)) {
            int fd = ::accept4(controlFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) clients.push_back({fd, {}});
        }
        for (std::size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            auto& c = clients[i - 3];
            ssize_t n = ::read(c.Fd, buffer, sizeof buffer);
            if (n <= 0 || c.Line.size() > 4096) {
                ::close(c.Fd);
                c.Fd = -1;
                continue;
            }
            c.Line.append(buffer, static_cast<std::size_t>(n));
            for (auto nl = c.Line.find('\n'); nl != std::string::npos && !quit; nl = c.Line.find('\n')) {
                std::string line = c.Line.substr(0, nl);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                WriteAll(c.Fd, interpreter.Execute(line, quit) + "\n");
                c.Line.erase(0, nl + 1);
            }
        }
        std::erase_if(clients, [](const TControlClient& c) { return c.Fd < 0; });
    }
    for (auto& c : clients) ::close(c.Fd);
    if (controlFd >= 0) ::close(controlFd);
    simulator.Stop();
    std::cout << "stats " << simulator.Stats().Text() << std::endl;
    return 0;
}
