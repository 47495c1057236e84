// End to end over a serial line: the simulator paces a pseudo-terminal at 38400 baud
// (10 bit times per character, requests and answers) and the server monitors 1200
// consecutive words, once in ASCII and once in binary mode. Printed: words refreshed per
// second next to the bound the line allows: the characters of every request and answer
// at that speed plus the 70 ms the driver cycle keeps after each answer (goal >= 90 %).
#include "LoopbackBench.h"

#include "app/KeyValueStore.h"
#include "comm/HProtocol.h"
#include "comm/SerialDevicePath.h"
#include "comm/SerialDriver.h"
#include "plc/SerialPortTable.h"

#include <cstdio>
#include <string>

namespace dravon::bench {
namespace {

constexpr std::uint32_t kBaud = 38400;
constexpr int kWords = 1200;
constexpr int kPauseAfterAnswerMs = 70;
constexpr int kPasses = 4;

// Characters of the block reads of one pass over kWords words and of their answers.
std::size_t CharactersPerPass(std::uint8_t code, bool binary) {
    std::size_t characters = 0;
    for (int first = 0; first < kWords; first += TCommDriver::WordBlockLimit) {
        const int count = std::min(TCommDriver::WordBlockLimit, kWords - first);
        THFrame frame;
        TFrameOptions options;
        options.Protocol = FrameProtocolStandard;
        options.Binary = binary;
        BuildHeader(frame, options);
        PutBlockRead(frame, TWireLocation{code, static_cast<std::uint32_t>(first)},
                     static_cast<std::uint8_t>(count));
        FinishFrame(frame);
        // Answer payload: Lump (4), status, echo, two bytes per word.
        const std::size_t payload = 6 + BlockDataLength(static_cast<std::uint32_t>(count), false);
        const std::size_t answer = binary ? 1 + 2 + payload + 1 + 1  // STX, length, payload, sum, CR
                                          : 1 + 2 * payload + 2 + 1; // STX, hex payload, hex sum, CR
        characters += frame.Bytes.size() + answer;
    }
    return characters;
}

struct TResult {
    double WordsPerSecond = 0;
    double BoundWordsPerSecond = 0;
    std::uint64_t Requests = 0;
    double CpuUs = 0;
    double Seconds = 0;
    bool Ok = false;
};

TResult RunMode(bool binary) {
    TResult result;
    TSimTransportConfig config;
    config.Kind = TSimTransportKind::Serial;
    config.PaceBaud = kBaud;
    config.LineSpeed = kBaud;
    config.Link.Protocol = 1;
    config.Link.IsSerial = true;
    config.Link.Framing = binary ? TSimFraming::Switch : TSimFraming::Ascii;
    TPlcSimulator sim({config});
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return result;
    }

    TBenchServer server;
    server.Server.Context.Settings.DisableBinaryMode = !binary;
    if (auto key = server.Server.Store.OpenKey(TRootKey::LocalMachine, SerialPortsKeyPath))
        key->WriteString("Device0", sim.SerialPath(0));
    server.Server.PLCs().SerialPorts.Port(1)->BaudRate = static_cast<int>(kBaud);
    THitachiPLC& plc = server.Server.PLCs().AddPLC();
    plc.SerialCom = 1;
    plc.TimeOut = 1000;
    plc.SetConnection(DriverSerial, ProtocolStandard);
    auto* serial = dynamic_cast<TSerialDriver*>(plc.Driver);
    server.MonitorWords(plc, kWords);
    for (int i = 0; i < kWords; ++i)
        sim.SetValue(0, server.Code(), static_cast<std::uint32_t>(i), static_cast<std::uint16_t>(i * 7));
    // Start-up: a probe (no answer), the binary switch, then one full pass.
    if (!serial || !server.WaitForAllValues(30000) || serial->BinaryMode != binary) {
        std::fprintf(stderr, "%s: the server never read all words in that mode\n",
                     binary ? "binary" : "ASCII");
        return result;
    }
    // Whole passes, timed from an answer to the answer that completes the last one, so
    // that no partial request at either end skews the rate.
    const std::uint64_t startCount = server.Requesting.Refreshed;
    if (!RunLoopUntil([&] { return server.Requesting.Refreshed != startCount; }, 5000)) return result;
    TPhase phase;
    const std::uint64_t first = server.Requesting.Refreshed;
    const std::uint64_t requests = sim.Stats().Requests();
    const double cpu = ThreadCpuUs();
    QElapsedTimer timer;
    timer.start();
    if (!RunLoopUntil([&] { return server.Requesting.Refreshed >= first + kPasses * kWords; }, 60000))
        return result;
    phase.Seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    phase.CpuUs = ThreadCpuUs() - cpu;
    phase.Requests = sim.Stats().Requests() - requests;
    phase.Refreshed = server.Requesting.Refreshed - first;
    const double passSeconds =
        static_cast<double>(CharactersPerPass(server.Code(), binary)) * 10.0 / kBaud +
        static_cast<double>((kWords + TCommDriver::WordBlockLimit - 1) / TCommDriver::WordBlockLimit) *
            kPauseAfterAnswerMs / 1000.0;
    result.WordsPerSecond = static_cast<double>(phase.Refreshed) / phase.Seconds;
    result.BoundWordsPerSecond = kWords / passSeconds;
    result.Requests = phase.Requests;
    result.CpuUs = phase.CpuUs;
    result.Seconds = phase.Seconds;
    result.Ok = true;
    return result;
}

} // namespace
} // namespace dravon::bench

int main(int argc, char** argv) {
    using namespace dravon::bench;
    QCoreApplication app(argc, argv);
    std::printf(
        "Serial line, %u baud paced, 10 bit times per character, %d consecutive words, %d passes per mode:\n",
        kBaud, kWords, kPasses);
    int status = 0;
    for (bool binary : {false, true}) {
        const TResult r = RunMode(binary);
        if (!r.Ok) {
            status = 2;
            continue;
        }
        const double ratio = 100.0 * r.WordsPerSecond / r.BoundWordsPerSecond;
        std::printf("  %-6s  %7.1f words/s, bound %7.1f words/s (wire + %d ms after each answer): %.1f %% "
                    "(goal >= 90 %%: %s);"
                    " %llu requests, server CPU %.2f %% of one core\n",
                    binary ? "binary" : "ASCII", r.WordsPerSecond, r.BoundWordsPerSecond, kPauseAfterAnswerMs,
                    ratio, ratio >= 90.0 ? "met" : "MISSED", static_cast<unsigned long long>(r.Requests),
                    100.0 * r.CpuUs / (r.Seconds * 1e6));
    }
    return status;
}
