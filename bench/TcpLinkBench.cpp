// End to end over one TCP link to the PLC simulator (loopback, no added latency): the
// server polling N word locations, next to a bare client loop that sends the same block
// reads against the same simulator in the same run.
//
//   bench_TcpLink [N]      N word locations WR0000.. (default 120: one block read each)
//
// Printed: requests per second of the bare loop and of the server (ratio, goal >= 90 %),
// locations refreshed per second, and the server's CPU per request measured on the main
// thread (goal < 20 us; the simulator runs on its own thread and is not counted).
#include "LoopbackBench.h"

#include "comm/HProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace dravon::bench {
namespace {

struct TRequest {
    std::vector<std::uint8_t> Bytes;
    std::size_t AnswerLength = 0;
};

// The block reads the server sends for N consecutive words: 120 words each.
std::vector<TRequest> BlockReads(std::uint8_t code, int words) {
    std::vector<TRequest> requests;
    for (int first = 0; first < words; first += TCommDriver::WordBlockLimit) {
        const int count = std::min(TCommDriver::WordBlockLimit, words - first);
        THFrame frame;
        TFrameOptions options;
        options.Protocol = FrameProtocolEthernet;
        BuildHeader(frame, options);
        PutBlockRead(frame, TWireLocation{code, static_cast<std::uint32_t>(first)},
                     static_cast<std::uint8_t>(count));
        FinishFrame(frame);
        requests.push_back({frame.Bytes, 8 + BlockDataLength(static_cast<std::uint32_t>(count), false)});
    }
    return requests;
}

// Send, wait for the whole answer, repeat: the fastest a client can go one request at a
// time. Returns requests per second.
struct TBareResult {
    double Rate = 0;            // requests/s
    double CpuUsPerRequest = 0; // this thread, user and kernel
};

// The bare loop's CPU per request is the floor set by its two system calls on this machine.
TBareResult BareLoop(std::uint16_t port, const std::vector<TRequest>& requests, double seconds) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "bare loop: cannot connect\n");
        std::exit(2);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<std::uint8_t> answer(4096);
    std::uint64_t done = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu = ThreadCpuUs();
    double elapsed = 0;
    while (elapsed < seconds) {
        const TRequest& r = requests[done % requests.size()];
        if (::send(fd, r.Bytes.data(), r.Bytes.size(), 0) != static_cast<ssize_t>(r.Bytes.size())) break;
        std::size_t got = 0;
        while (got < r.AnswerLength) {
            ssize_t n = ::recv(fd, answer.data() + got, answer.size() - got, 0);
            if (n <= 0) {
                std::fprintf(stderr, "bare loop: connection lost\n");
                std::exit(2);
            }
            got += static_cast<std::size_t>(n);
        }
        ++done;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double cpuUs = ThreadCpuUs() - cpu;
    ::close(fd);
    return {static_cast<double>(done) / elapsed, done > 0 ? cpuUs / static_cast<double>(done) : 0.0};
}

} // namespace
} // namespace dravon::bench

int main(int argc, char** argv) {
    using namespace dravon;
    using namespace dravon::bench;
    // The same event dispatcher as the dravon program.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const int words = argc > 1 ? std::max(1, std::atoi(argv[1])) : 120;
    // Short alternating phases: a shared machine's load changes affect both sides alike.
    constexpr double kPhaseSeconds = 1.0;
    constexpr int kRounds = 4;

    TSimTransportConfig config;
    config.Kind = TSimTransportKind::Tcp;
    config.Address = "127.0.0.1";
    config.Port = 0;
    config.Link.Protocol = 3;
    TPlcSimulator sim({config});
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
    }

    TBenchServer server;
    THitachiPLC& plc = server.Server.AddEthernetPLC(DriverTcp, sim.Port(0));
    server.MonitorWords(plc, words);
    for (int i = 0; i < words; ++i)
        sim.SetValue(0, server.Code(), static_cast<std::uint32_t>(i), static_cast<std::uint16_t>(i));
    if (!server.WaitForAllValues(10000)) {
        std::fprintf(stderr, "the server never read all locations\n");
        return 2;
    }
    const std::vector<TRequest> requests = BlockReads(server.Code(), words);

    double bareRate = 0;
    double bareCpu = 0;
    TPhase serverTotal;
    for (int round = 0; round < kRounds; ++round) {
        server.Pause();
        RunLoopFor(50); // the request in flight comes back before the bare loop starts
        const TBareResult bare = BareLoop(sim.Port(0), requests, kPhaseSeconds);
        bareRate += bare.Rate / kRounds;
        bareCpu += bare.CpuUsPerRequest / kRounds;
        server.Resume();
        serverTotal += server.Measure(sim, kPhaseSeconds);
    }
    const double serverRate = serverTotal.Requests / serverTotal.Seconds;
    const double ratio = 100.0 * serverRate / bareRate;
    const double cpuPerRequest = serverTotal.CpuUs / static_cast<double>(serverTotal.Requests);
    std::printf("TCP link, %d word locations (%zu request(s) per pass), %d x %.0f s each:\n", words,
                requests.size(), kRounds, kPhaseSeconds);
    std::printf("  bare client loop      %10.0f requests/s\n", bareRate);
    std::printf("  server                %10.0f requests/s  (%.1f %% of the bare loop; goal >= 90 %%: %s)\n",
                serverRate, ratio, ratio >= 90.0 ? "met" : "MISSED");
    std::printf("  locations refreshed   %10.0f /s\n",
                static_cast<double>(serverTotal.Refreshed) / serverTotal.Seconds);
    std::printf("  server CPU            %10.2f us per request  (goal < 20 us: %s; %.1f %% of one core)\n",
                cpuPerRequest, cpuPerRequest < 20.0 ? "met" : "MISSED",
                100.0 * serverTotal.CpuUs / (serverTotal.Seconds * 1e6));
    std::printf("  server CPU, user space %9.2f us per request (the rest is the kernel's)\n",
                serverTotal.UserCpuUs / static_cast<double>(serverTotal.Requests));
    std::printf("  bare loop CPU         %10.2f us per request\n", bareCpu);
    return 0;
}
