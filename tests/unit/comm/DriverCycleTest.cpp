// The poll loop driven by the manager's 15 ms timer on a manual clock, with drivers that
// record what they would put on the wire and answers fed back as a PLC would send them; the
// real drivers on recording transports.
#include "comm/CommDriver.h"
#include "comm/CommManager.h"
#include "comm/DriverFactory.h"
#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"
#include "comm/TransportDriverFactory.h"
#include "comm/UdpDriver.h"

#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "support/FakeHostResolver.h"
#include "support/FakeTransports.h"
#include "support/Frames.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace dravon {
namespace {

using Bytes = test::TBytes;
using test::Hex;
using test::HexText;

// STX, the characters, their sum in two hex digits, CR.
Bytes Ascii(const std::string& chars) {
    std::uint8_t sum = 0;
    for (char c : chars) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    return test::Ascii(chars + HexText({sum}));
}

class TCycleDriver : public TCommDriver {
public:
    using TCommDriver::TCommDriver;
    std::vector<std::pair<Bytes, char>> Sent; // with the last character of its PLC's name
    void Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) override {
        Sent.emplace_back(Bytes(frame.begin(), frame.end()), plc ? plc->Name.back() : '-');
    }
};

class TCycleFactory : public IDriverFactory {
public:
    bool RealSerial = false; // the serial driver on a recording port
    bool Real = false;       // every driver on recording transports
    TTransportDriverFactory Drivers;
    std::unique_ptr<TCommDriver> CreateDriver(TServerContext& context, const TDriverLink& link) override {
        if (Real) return Drivers.CreateDriver(context, link);
        if (RealSerial) return std::make_unique<TSerialDriver>(context, link);
        return std::make_unique<TCycleDriver>(context, link);
    }
};

// One server: PLCs sharing one driver of the row's kind, a monitored location list.
struct TWorld {
    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeTransportFactory Transports;
    TCycleFactory Factory;
    std::unique_ptr<TPLCCollection> PLCs;
    std::unique_ptr<TCommManager> Manager;
    std::vector<THitachiLocation*> Held;

    explicit TWorld(std::uint32_t tick = 1000) {
        T.Platform.Clock.Tick = tick;
        T.Context.Resolver = &Resolver;
        T.Context.Transports = &Transports;
        PLCs = std::make_unique<TPLCCollection>(T.Context);
        Manager = std::make_unique<TCommManager>(T.Context, PLCs.get(), &Factory);
        PLCs->SetDriverPool(Manager.get());
    }
    ~TWorld() {
        Release();
        Manager.reset();
    }
    void Release() {
        for (THitachiLocation* location : Held) location->Release();
        Held.clear();
    }
    THitachiPLC& Add(int kind, int protocol, int port = 3004, const char* host = "127.0.0.1") {
        THitachiPLC& plc = PLCs->AddPLC();
        plc.SetHost(host);
        plc.TcpPort = port;
        plc.SerialCom = port - 3003;
        plc.SetConnection(kind, protocol);
        return plc;
    }
    THitachiLocation& Monitor(const THitachiPLC& plc, const std::string& address) {
        THitachiLocation* location = PLCs->ResolveItemId(plc.Name + "." + address).Location;
        EXPECT_NE(location, nullptr) << address;
        location->AddRef();
        Held.push_back(location);
        return *location;
    }
    THitachiPLC& First() { return PLCs->PLCByIndex(0); }
    TCommDriver& Driver() { return *First().Driver; }
    // Every frame put on the wire so far, with the last character of its PLC's name.
    std::vector<std::pair<Bytes, char>> Frames() {
        std::vector<std::pair<Bytes, char>> frames;
        if (auto* recording = dynamic_cast<TCycleDriver*>(&Driver())) frames = recording->Sent;
        for (const test::TRecordingComPort* port : Transports.ComPorts)
            for (const auto& write : port->Writes) frames.emplace_back(write.Bytes, '-');
        return frames;
    }
    void Run(std::uint32_t ms) { T.Platform.Advance(ms); }
    // Runs the cycle in 15 ms steps until done holds, at most ms, the locations requested
    // again as a client's group keeps them polled.
    bool RunUntil(const std::function<bool()>& done, std::uint32_t ms) {
        for (std::uint32_t t = 0; t < ms && !done(); t += 15) {
            for (THitachiLocation* location : Held) location->ReadRequested = true;
            Run(15);
        }
        return done();
    }

    // The answer a PLC gives to the request in flight: ethernet 00 seq FF FF 00 00 body,
    // serial format STX [station] FFFF0000 body sum CR.
    void Answer(const std::string& body, int sequenceOffset = 0) {
        TCommDriver& d = Driver();
        if (d.Protocol == FrameProtocolEthernet) {
            Bytes payload{0x00, static_cast<std::uint8_t>(d.Sequence + sequenceOffset), 0xFF, 0xFF, 0x00,
                          0x00};
            const Bytes rest = Hex(body);
            payload.insert(payload.end(), rest.begin(), rest.end());
            d.ProcessResponse(payload);
            d.RequestCycleRun();
        } else {
            d.ParseStream(Ascii(body));
        }
    }
    // A success answer with zero data of the length the request asks for.
    std::string Success() {
        const TCommDriver& d = Driver();
        std::size_t data = 0;
        if (d.RequestKind == 0)
            data = d.RequestCommand == CmdBlockRead ? BlockDataLength(d.RequestSpan, d.RequestBits)
                                                    : 2 * d.ReadList.size();
        char head[16];
        std::snprintf(head, sizeof head, "00%02X", d.RequestCommand);
        const std::string body = head + std::string(2 * data, '0');
        if (d.Protocol == FrameProtocolEthernet) return body;
        char station[8];
        std::snprintf(station, sizeof station, "%02d", First().SerialStatNo);
        const TSerialPortInfo* port = PLCs->SerialPorts.Port(First().SerialCom);
        return (port && port->MultiDrop ? station : "") + std::string("FFFF0000") + body;
    }
};

struct TCycleRow {
    const char* Name;
    // Kind (tcp, udp, serial: recording drivers; com: the serial driver on a fake port),
    // then key=value: proto, plcs (sharing one driver), at (locations, "WR/3/55": 55 words
    // three apart), to (TimeOut), com (SerialCom), msg, wait, retries, minsize, usage (settings),
    // stn, md, baud (PLC1's station, its port's MultiDrop and BaudRate), tick (clock at start).
    const char* Setup;
    const char* Script;
};

// Steps:  +N run N ms · ~N N runs 100 ms apart (~N/M: M ms), the manager falling behind · run the posted
// run-now event · r every location requested again · ok a success answer · busy a BUSY
// answer · a:HEX an answer (a-: with the sequence number before, a+: after) · x:HEX raw
// bytes received · wK=V, fK=V a client writes, the operator forces V into location K (w*=V
// into all) · add a further PLC attaches to the driver · drop every location released ·
// del PLC1 deleted · idle the refresh marks idle drivers · m:ADDR PLC1 monitors ADDR.
// Checks KEY=V (K a location index): n frames sent, F last frame (hex), f last frame as
// ASCII characters, C its command, I its byte 7, N writes sent, o owners of all frames,
// O owner now (0 none), W Wait, D BusyDelay, L LastErrorCode, T/R/B "timed out"/"restored"/
// BUSY lines, X NumberOfTimeouts, K monitored count, M MissCount, S SpeedDetected,
// b BinaryMode, s BinaryState, Y answer tick is now (y: the PLC's last good one), x the maximum
// response time was taken now, p posted events, G LastComCycle,
// % its percent, h newest history entry, m MaxComCycle; per location V value, H HasValue,
// E ErrorCount, Q ReadRequested, A AddressError, u TimedOut, P WritePending, J WriteRejected,
// Z WriteDoneTime is now; c the COM port is open; eHEX bytes of the whole ethernet answer
// that starts with HEX (for the request in flight).
void RunRow(const TCycleRow& row) {
    SCOPED_TRACE(row.Name);
    std::map<std::string, std::string> setup;
    std::istringstream setupWords(row.Setup);
    std::string kind, word;
    setupWords >> kind;
    while (setupWords >> word) setup[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    auto number = [&](const char* key, long long fallBack) {
        return setup.count(key) ? std::stoll(setup[key], nullptr, 0) : fallBack;
    };
    TWorld w(static_cast<std::uint32_t>(number("tick", 1000)));
    TSettings& settings = w.T.Context.Settings;
    settings.MsgCountBeforeWait = static_cast<int>(number("msg", settings.MsgCountBeforeWait));
    settings.WaitTime = static_cast<int>(number("wait", settings.WaitTime));
    settings.BusyRetries = static_cast<int>(number("retries", settings.BusyRetries));
    settings.MinBlockSize = static_cast<int>(number("minsize", settings.MinBlockSize));
    settings.MinBlockUsage = static_cast<int>(number("usage", settings.MinBlockUsage));
    TSerialPortInfo& port = *w.PLCs->SerialPorts.Port(1);
    port.MultiDrop = number("md", 0) != 0;
    port.BaudRate = static_cast<int>(number("baud", port.BaudRate));
    w.Factory.RealSerial = kind == "com";
    const bool serial = kind == "serial" || kind == "com";
    const int drvType = serial ? DriverSerial : kind == "udp" ? DriverUdp : DriverTcp;
    const int protocol = static_cast<int>(number("proto", serial ? ProtocolStandard : ProtocolEthernet));
    for (long long i = 0; i < number("plcs", 1); ++i) {
        THitachiPLC& plc = w.Add(drvType, protocol);
        plc.SerialStatNo = static_cast<int>(number("stn", 0));
        plc.TimeOut = static_cast<int>(number("to", plc.TimeOut));
        plc.SerialCom = static_cast<int>(number("com", plc.SerialCom));
    }
    std::istringstream addresses(setup.count("at") ? setup["at"] : "WR0010");
    for (std::string address; std::getline(addresses, address, ',');) {
        for (int p = 0; p < w.PLCs->Count(); ++p) {
            if (address.find('/') == std::string::npos) {
                w.Monitor(w.PLCs->PLCByIndex(p), address);
                continue;
            }
            const int step = std::stoi(address.substr(3)),
                      count = std::stoi(address.substr(address.rfind('/') + 1));
            char text[16];
            for (int i = 0; i < count; ++i) {
                std::snprintf(text, sizeof text, "%s%04X", address.substr(0, 2).c_str(), i * step);
                w.Monitor(w.PLCs->PLCByIndex(p), text);
            }
        }
    }

    std::istringstream steps(row.Script);
    for (std::string step; steps >> step;) {
        SCOPED_TRACE(step);
        const std::size_t eq = step.find('=');
        const std::string key = step.substr(0, eq == std::string::npos ? step.size() : eq);
        const std::string value = eq == std::string::npos ? "" : step.substr(eq + 1);
        const std::size_t k = key.size() > 1 && std::isdigit(key[1]) ? std::stoul(key.substr(1)) : 0;
        THitachiLocation* location = k < w.Held.size() ? w.Held[k] : nullptr;
        if (step[0] == '+') {
            w.Run(static_cast<std::uint32_t>(std::stoul(step.substr(1))));
        } else if (step[0] == '~') {
            const std::size_t slash = step.find('/');
            for (int i = std::stoi(step.substr(1)); i > 0; --i) {
                w.T.Platform.Clock.Step(slash == std::string::npos
                                            ? 100
                                            : static_cast<std::uint32_t>(std::stoul(step.substr(slash + 1))));
                w.Manager->OnTimerTick();
                w.Manager->Timer().SetEnabled(false);
            }
        } else if (step == "run") {
            w.T.Platform.RunPosted();
        } else if (step == "r") {
            for (THitachiLocation* held : w.Held) held->ReadRequested = true;
        } else if (step == "ok") {
            w.Answer(w.Success());
        } else if (step == "busy") {
            w.Answer("05" + HexText({w.Driver().RequestCommand}));
        } else if (step[0] == 'a' && step.find(':') != std::string::npos) {
            w.Answer(step.substr(step.find(':') + 1), step[1] == '-' ? -1 : step[1] == '+' ? 1 : 0);
        } else if (step.rfind("x:", 0) == 0) {
            w.Driver().ParseStream(Hex(step.substr(2)));
        } else if (key == "w*") {
            for (THitachiLocation* held : w.Held)
                held->StoreWrittenValue(static_cast<std::uint32_t>(std::stoul(value, nullptr, 16)));
        } else if ((key[0] == 'w' || key[0] == 'f') && key.size() > 1 && location) {
            const auto stored = static_cast<std::uint32_t>(std::stoul(value, nullptr, 16));
            if (key[0] == 'w')
                location->StoreWrittenValue(stored);
            else
                location->StoreForcedValue(stored, w.T.Platform.Clock.Now());
        } else if (step == "drop") {
            w.Release();
        } else if (step == "add") {
            w.Add(drvType, protocol);
        } else if (step == "idle") {
            w.Manager->MarkIdleDrivers();
        } else if (step.rfind("m:", 0) == 0) {
            w.Monitor(w.First(), step.substr(2));
        } else if (step == "del") {
            std::erase_if(w.Held, [&](THitachiLocation* held) {
                return held->PLC == &w.First() ? (held->Release(), true) : false;
            });
            w.PLCs->DeletePLC(0);
        } else {
            ASSERT_NE(eq, std::string::npos) << "unknown step";
            const THitachiPLC& plc = w.First();
            const TCommDriver& d = w.Driver();
            const auto frames = w.Frames();
            const Bytes last = frames.empty() ? Bytes{} : frames.back().first;
            Bytes head = last;
            head.resize(std::max<std::size_t>(last.size(), 8));
            const auto lines = [&](const std::string& start) { return w.T.Capture.CountStartingWith(start); };
            std::string owners;
            for (const auto& frame : frames) owners += frame.second;
            char hex[16];
            std::snprintf(hex, sizeof hex, "%X", location ? location->Value : 0);
            const std::map<char, std::string> actual{
                {'n', std::to_string(frames.size())},
                {'F', HexText(last)},
                {'f', last == Ascii(value) ? value : HexText(last)},
                {'C', HexText({head[6]})},
                {'I', std::to_string(head[7])},
                {'N', std::to_string(std::count_if(
                          frames.begin(), frames.end(),
                          [](const auto& f) { return f.first.size() > 6 && f.first[6] == CmdRandomWrite; }))},
                {'o', owners},
                {'O', std::string(1, d.CurrentPLC ? d.CurrentPLC->Name.back() : '0')},
                {'W', std::to_string(d.Wait)},
                {'D', std::to_string(d.BusyDelay)},
                {'L', std::to_string(plc.LastErrorCode)},
                {'T', std::to_string(lines("PLC PLC1 timed out at "))},
                {'R', std::to_string(lines("PLC PLC1 restored at "))},
                {'B', std::to_string(lines("PLC PLC1 sent BUSY response, timeout should be longer") +
                                     lines("BUSY responses detected on UDP port on PLC PLC1"))},
                {'X', std::to_string(plc.NumberOfTimeouts)},
                {'K', std::to_string(plc.Monitored.Count())},
                {'M', std::to_string(d.MissCount)},
                {'S', std::to_string(d.SpeedDetected)},
                {'b', std::to_string(d.BinaryMode)},
                {'s', std::to_string(d.BinaryState)},
                {'Y', std::to_string(d.LastResponseTick == w.T.Platform.Clock.TickCount())},
                {'y', std::to_string(plc.LastGoodTick == w.T.Platform.Clock.TickCount())},
                {'x', std::to_string(plc.MaxResponseAt == w.T.Platform.Clock.Now())},
                {'g', std::to_string(std::lround((w.T.Platform.Clock.Now() - plc.LastErrorAt) * 86400000))},
                {'p', std::to_string(w.T.Platform.PostedCount())},
                {'G', std::to_string(plc.LastComCycle)},
                {'%', std::to_string(plc.LastComCyclePercent)},
                {'h', std::to_string(plc.ComCycleHistory[9])},
                {'m', std::to_string(plc.MaxComCycle)},
                {'V', hex},
                {'H', std::to_string(location && location->HasValue)},
                {'E', std::to_string(location ? location->ErrorCount : -1)},
                {'Q', std::to_string(location && location->ReadRequested)},
                {'A', std::to_string(location && location->AddressError)},
                {'u', std::to_string(location && location->TimedOut)},
                {'P', std::to_string(location && location->WritePending)},
                {'J', std::to_string(location && location->WriteRejected)},
                {'Z', std::to_string(location && location->WriteDoneTime == w.T.Platform.Clock.Now())},
                {'c',
                 std::to_string(!w.Transports.ComPorts.empty() && w.Transports.ComPorts[0]->Connected())},
                {'e', std::to_string(d.EthernetAnswerLength(Hex(key.substr(1))))}};
            const auto found = actual.find(key[0]);
            ASSERT_NE(found, actual.end()) << "unknown check";
            EXPECT_EQ(found->second, value);
        }
    }
}

TEST(DriverCycleTest, Rows) {
    // clang-format off
    const TCycleRow rows[] = {
        {"read over tcp, one request at a time, the next at once", "tcp at=WR0010,WR0011",
         "+15 n=1 O=1 F=0001FFFF0000A4010A000011 E1=1 +20 n=1 a:00A4ABCD V1=ABCD E1=0 Q1=0 p=1 r run n=2 "
         "F=0002FFFF0000A4020A0000100A000011 a:00A412345678 V0=1234 V1=5678"},
        {"answers not fitting the request", "tcp",
         "+15 W=1000 a-:00A41234 H0=0 W=1200 a+:00A41234 H0=0 a:00A412 H0=0 Q0=1 +15 n=2 a:00A4123456 H0=0 E0=2 "
         "+15 n=3 a:00A01234 H0=0 a:00A41234 V0=1234 E0=0"},
        {"udp: the answer before adds no pause", "udp", "+15 a-:00A41234 H0=0 W=1000"},
        {"six bytes of another lump are a sign of life over tcp", "tcp proto=1", "+15 +5 a:FFFF000100A5 H0=0 Y=1"},
        // A random read of WR0011 (sequence 1), then after its answer, then for two words.
        {"ethernet answer length follows the request in flight", "tcp at=WR0010,WR0011",
         "+15 e0001FF=8 e0001FFFF000005=7 e0001FFFF000017=7 e0001FFFF000000=8 e0001FFFF000000A4=10 "
         "e0001FFFF000000A4AB=10 e0001FFFF000001A4=9 e0001FFFF000005A4=8 e0001FFFF000017A4=8 e0000FFFF000000A4=8 "
         "e0001FFFF000000A0=8 a:00A4ABCD e0001FFFF000000A4=8 r run e0002FFFF000000A4=12"},
        {"rejections", "tcp",
         "+15 a:01A40700 A0=0 Q0=1 +15 a:01A407 A0=1 Q0=0 H0=1 w0=42 +100 C=A5 a:01A507 P0=0 J0=1 A0=1 Z0=1 "
         "r +15 ok r +15 ok r +15 ok n=6 N=1 w0=43 +100 C=A5 N=2 a:00A5 J0=0 P0=0"},
        {"a bit written true goes out as 1", "tcp at=M00020,R010",
         "w0=FFFFFFFF f1=2 +15 n=1 F=0001FFFF0000A502020000100001040000200001 V0=1 w0=2 V0=1"},
        {"silent plc times out once and is restored", "tcp",
         "+15 n=1 +2900 T=0 n=3 +1000 T=1 X=1 E0=4 +5000 T=1 a:00A40005 +15 R=1 V0=5"},
        {"silent after an answer, across the tick wrap", "tcp tick=4294964296",
         "+15 ok r +2900 T=0 n=4 +1000 T=1 X=1 E0=4 +5000 T=1 a:00A40005 +15 R=1 V0=5"},
        {"no time-out while the manager falls behind: 3 runs in 200 ms", "tcp", "~100 n=10 T=0 X=0 ~30/70 T=0"},
        {"tcp busy pauses 40 s plus the wait left", "tcp",
         "+15 n=1 +100 W=910 busy W=40910 +40810 n=1 T=0 +200 n=2 B=1"},
        {"busy back-off doubles, a valid answer halves it", "tcp",
         "+15 busy D=40000 busy D=40000 ok D=20000 W=0 r +15 a:08A4 D=20000 W=0 +15 L=8"},
        {"udp busy retried three times", "udp",
         "+15 n=1 busy W=100 +120 n=2 E0=1 F=0002FFFF0000A4010A000010 busy +120 n=3 busy +120 n=4 E0=1 B=1 L=5 "
         "F=0004FFFF0000A4010A000010 busy +120 n=5 E0=2 B=1 +5500 T=0 +2000 T=1"},
        {"the same across the tick wrap", "udp tick=4294967000",
         "+15 busy +120 busy +120 busy +120 busy +120 n=5 E0=2 +5500 T=0 +2000 T=1"},
        {"busy retries count again for each request", "udp",
         "+15 busy +120 busy +120 busy +120 busy +120 n=5 E0=2 ok r +15 n=6 E0=1 busy +120 n=7 E0=1"},
        {"no busy retry with BusyRetries 0, a pause of half the wait time", "udp retries=0 wait=1000", "+15 busy W=500 +510 n=2 E0=2"},
        {"pause after every fifth ethernet answer", "tcp msg=5 wait=1000",
         "+15 ok r W=0 +15 ok r W=0 +15 ok r W=0 +15 ok r W=0 +15 ok r W=1000 +985 n=5 +30 n=6 ok r W=0 +15 ok r W=0 "
         "+15 ok r W=0 +15 ok r W=0 +15 ok r W=1000"},
        {"no pause with MsgCountBeforeWait 0", "tcp msg=0 wait=1000",
         "+15 ok r W=0 +15 ok r W=0 +15 ok r W=0 +15 ok r W=0 +15 ok r W=0 +15 ok r W=0 +15 n=7"},
        {"a read answered while a forced value waits skips no later read", "tcp",
         "+15 f0=5 ok V0=5 r +15 C=A5 a:00A5 r +15 a:00A40007 V0=7"},
        {"write first, a newer value stays pending", "tcp",
         "w0=1234 +15 F=0001FFFF0000A5010A0000101234 w0=5678 a:00A5 P0=1 Z0=1 +15 n=2 C=A4 ok V0=5678 +15 "
         "F=0003FFFF0000A5010A0000105678 a:00A5 P0=0"},
        {"an unanswered write stays pending and goes again", "tcp", "w0=42 +15 C=A5 +2200 P0=1 N=2"},
        {"a double word's halves go in one write", "tcp at=WR/2/34,DR0100", "w*=1 +15 I=34 ok +15 I=2"},
        {"a double word's write is decided with its halves", "tcp at=DR0010",
         "+15 ok r w0=12345678 +15 F=0002FFFF0000A5020A00001056780A0000111234 P0=1 a:00A5 P0=0 V0=12345678 +15 C=A4"},
        {"an empty collection frees the driver", "tcp", "+15 O=1 ok drop +1000 K=0 O=0 n=1 +1000 n=1 ok Y=1"},
        {"two plcs take turns, a pass's first request hands over", "tcp plcs=2 at=WR0000,WR0100,WR0200",
         "w0=1 +15 ok r +15 ok r +15 ok r +15 ok r +15 ok r +15 ok r o=121212"},
        {"a plc that does not answer gives the driver up", "tcp plcs=2 at=WR/3/60", "+15 ok r +15 +3000 o=11212 +3000 o=1121212"},
        {"a driver without owner counts down at every plc", "tcp plcs=3", "+15 o=1 del +495 n=1 +15 n=2 o=12"},
        {"pass statistics", "tcp", "+15 +85 ok x=0 run x=1 +15 +85 ok +15 +85 ok +15 G=85 %=100 h=85 m=85"},
        {"an equal response time keeps the maximum's time stamp", "tcp", "+15 +85 ok r run x=1 +85 ok run x=0"},
        {"an error status standing is stamped once", "tcp", "+15 a:17A4 r +15 g=15 L=23 n=2 +15 g=30 r +15 g=45 +1000 g=1045 n=3 +2000 g=3045 n=5"},
        {"a COM number outside 1-8 is no port, an ethernet plc's frame is unchanged", "tcp com=12",
         "+15 F=0001FFFF0000A4010A000010"},
        {"wait floor", "tcp to=100", "+15 W=300"},
        {"wait ceiling", "tcp to=5000000", "+15 W=3600000"},
        {"ascii read and the serial pause", "serial",
         "+15 f=2FFFF0000A4010A000010 a:FFFF000000A41234 V0=1234 W=70 S=1 y=1 p=1"},
        {"serial answer of another lump", "serial", "+15 a:FFFF000100A41234 H0=0 a:FFFF000000A41234 H0=1"},
        {"serial busy: said once, the locations marked timed out", "serial",
         "+15 a:FFFF000005A4 L=0 B=0 +15 L=5 B=1 u0=1 H0=0 +3000 a:FFFF000005A4 +15 B=1"},
        {"station number protocol checks the station", "serial proto=2 stn=12",
         "+15 a:11FFFF000000A41234 H0=0 a:12FFFF000000A41234 V0=1234"},
        {"handshake reply after 50 ms, 50 ms more wait", "serial", "+15 x:060D +45 n=1 +15 n=2 F=0530310D W=990"},
        {"station handshake, protocol 2 over tcp", "tcp proto=2", "+15 x:0630350D +65 n=2 F=05323035310D"},
        {"station handshake, protocol 2 over udp", "udp proto=2", "+15 x:0630350D +65 n=2 F=05323035310D"},
        {"serial first contact: a time-out 2 s after the first request", "serial tick=100000",
         "+15 +3000 T=0 +100 T=1"},
        {"a further plc restarts the pass and the speed detection", "com md=1 baud=9600",
         "+15 ok r S=1 O=1 add S=0 O=0"},
        {"serial wire time of a write", "com md=1 baud=9600", "w0=1 +15 W=1032"},
        {"serial wire time of a read", "com md=1 baud=9600", "+15 W=1056"},
        {"a NAK restarts the probes", "com", "+15 n=1 x:15300D +3050 n=2 +3050 n=3 +3050 n=4 F=153046460D"},
        {"serial silence times out after TimeOut + 5 s", "serial",
         "+15 a:FFFF000000A41234 r +5900 T=0 +1500 T=1"},
        {"binary switch", "serial",
         "+15 a:FFFF00000119 b=0 s=1 a:FFFF00000019 b=1 s=2 r +1100 F=02000CFFFF0000A4010A000010C90D "
         "x:02000AFFFF000000A40D0DC60D V0=D0D"},
        {"bit block answer, most significant bit first", "tcp minsize=0 usage=0 at=M00120,M00127,M00128",
         "+15 a:00A040 V1=0 V2=1 r +15 F=0002FFFF0000A00400012009 a:00A081 E0=1 H0=0 r +15 a:00A08100 V0=1 V1=1 V2=0"},
        {"double word halves in one request", "tcp at=WR/3/55,DR0200",
         "+15 n=1 I=54 ok +15 F=0002FFFF0000A4020A0002000A000201 a:00A412345678 V55=56781234"},
        {"serial misses: an answer resets them, 13 reset the line", "com md=1 baud=9600",
         "+15 ok r S=1 +3300 M=6 ok r +100 M=0 +6900 M=12 S=1 +600 M=0 S=0"},
        {"an idle serial port closes and the next request opens it again", "com md=1 baud=9600",
         "+15 ok r idle c=1 drop +1000 K=0 n=1 idle c=0 S=0 idle +1000 n=1 m:WR0021 +15 c=1 n=2 ok H0=1"},
    };
    // clang-format on
    for (const TCycleRow& row : rows) RunRow(row);
}

TEST(DriverCycleTest, PoolSharesMatchingLinksAndFreesUnusedDrivers) {
    TWorld w;
    THitachiPLC& one = w.Add(DriverTcp, ProtocolEthernet);
    THitachiPLC& two = w.Add(DriverTcp, ProtocolEthernet);
    THitachiPLC& three = w.Add(DriverUdp, ProtocolEthernet);
    THitachiPLC& four = w.Add(DriverSerial, ProtocolStandard);
    THitachiPLC& five = w.Add(DriverTcp, ProtocolEthernet, 3005);
    EXPECT_EQ(one.Driver, two.Driver);
    for (const THitachiPLC* other : {&three, &four, &five}) EXPECT_NE(one.Driver, other->Driver);
    ASSERT_EQ(w.Manager->Drivers().size(), 4u);
    // UDP links are shared for the same address, port and UDPPortSame setting only.
    EXPECT_NE(w.Add(DriverUdp, ProtocolEthernet, 3005).Driver, three.Driver);
    w.T.Context.Settings.UDPPortSame = !w.T.Context.Settings.UDPPortSame;
    EXPECT_NE(w.Add(DriverUdp, ProtocolEthernet).Driver, three.Driver);
    EXPECT_TRUE(one.Driver->UserCount == 2 && one.Driver->Manager == w.Manager.get());
    // A serial-format protocol over Ethernet stays ASCII.
    two.SetConnection(DriverTcp, ProtocolStandard);
    EXPECT_TRUE(two.Driver != one.Driver && two.Driver->BinaryState == 1 && !two.Driver->BinaryMode);
    EXPECT_EQ(one.Driver->UserCount, 1);
    w.PLCs->DeletePLC(0);
    w.Manager->FreeUnusedDrivers();
    EXPECT_EQ(w.Manager->Drivers().size(), 6u); // two's, three's, four's, five's and the two UDP ones
}

// Which monitored locations go into one read request, and whether it is a block or a random read.
class PlannerTest : public ::testing::Test {
protected:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC = PLCs.AddPLC();
    TCycleDriver Driver{T.Context,
                        {.Kind = 2, .Address = "127.0.0.1", .Port = 3004, .Protocol = FrameProtocolEthernet}};
    std::vector<std::unique_ptr<THitachiLocation>> Locations;

    THitachiLocation& Make(int code, std::uint32_t address, std::uint16_t varType) {
        THitachiLocation& l = *Locations.emplace_back(std::make_unique<THitachiLocation>());
        std::tie(l.Code, l.Address, l.VarType, l.ReadRequested) = std::tuple(code, address, varType, true);
        return l;
    }
};

// The planner against a plain restatement of its rule, on the requests the driver actually
// sends: the unused share of a block, in whole percent, at most 100 - MinBlockUsage, at least
// MinBlockSize locations, both settings in range (0-100, 0-54), one memory type, at most 120
// words or 240 bits; at most 55 locations otherwise. Every location is offered as the cycle
// does, request after request: the same answers to each offer, the same free slots, the same
// requests sent.
TEST_F(PlannerTest, AgreesWithTheRuleOverUsagesSizesGapsAndKinds) {
    struct TKind {
        const char* Name;
        int Code, SecondCode;
        std::uint16_t VarType;
        long Limit;
    };
    // clang-format off
    const TKind kinds[] = {{"words", 0x0A, 0x0A, VarTypeUI2, 120}, {"bits", 0x04, 0x04, VarTypeBool, 240},
                           {"WR then WM", 0x0A, 0x0C, VarTypeUI2, 120}};
    // clang-format on
    using TTrace = std::vector<std::pair<bool, bool>>; // (room left, refused) per offer
    for (const TKind& kind : kinds)
        for (int count : {1, 9, 10, 130, 250})
            for (int usage : {-1, 0, 1, 33, 49, 50, 51, 67, 99, 100, 101})
                for (int minSize : {0, 10, 54, 55})
                    for (std::uint32_t gap : {1u, 2u, 3u, 5u}) {
                        SCOPED_TRACE(::testing::Message()
                                     << kind.Name << " count " << count << " usage " << usage << " min size "
                                     << minSize << " gap " << gap);
                        T.Context.Settings.MinBlockUsage = usage;
                        T.Context.Settings.MinBlockSize = minSize;
                        Locations.clear();
                        for (int i = 0; i < count; ++i)
                            Make(i < count / 2 ? kind.Code : kind.SecondCode,
                                 static_cast<std::uint32_t>(i) * gap, kind.VarType);
                        std::size_t next = 0;
                        for (int request = 0; next < Locations.size(); ++request) {
                            ASSERT_LT(request, 300);
                            std::vector<const THitachiLocation*> list;
                            auto qualifies = [&](bool strict) {
                                if (list.empty() || list.front()->Code != list.back()->Code) return false;
                                const long span =
                                    static_cast<long>(list.back()->Address - list.front()->Address) + 1;
                                if (strict ? span >= kind.Limit : span > kind.Limit) return false;
                                const long n = static_cast<long>(list.size());
                                return usage >= 0 && usage <= 100 && minSize >= 0 && minSize <= 54 &&
                                       100 - n * 100 / span <= 100 - usage && n >= minSize;
                            };
                            auto room = [&] {
                                return list.size() < 301 && (qualifies(true) || list.size() < 55);
                            };
                            TTrace expected;
                            std::size_t i = next;
                            for (; i < Locations.size(); ++i) {
                                if (!room()) {
                                    expected.emplace_back(false, false);
                                    break;
                                }
                                list.push_back(Locations[i].get());
                                if (list.size() > 55 && !qualifies(false)) {
                                    list.pop_back();
                                    expected.emplace_back(false, true);
                                    break;
                                }
                                expected.emplace_back(room(), false);
                                if (!expected.back().first) {
                                    ++i;
                                    break;
                                }
                            }
                            TTrace actual;
                            for (std::size_t j = next; j < Locations.size(); ++j) {
                                const auto result = Driver.AddRead(*Locations[j]);
                                actual.emplace_back(result.MoreRoom, result.Refused);
                                if (result.Refused || !result.MoreRoom) break;
                            }
                            ASSERT_EQ(actual, expected) << "request " << request;
                            const int free = list.size() <= 55 ? 55 - static_cast<int>(list.size())
                                                               : static_cast<int>(kind.Limit) -
                                                                     static_cast<int>(list.size());
                            EXPECT_EQ(Driver.FreeReadSlots(), free);
                            // The request sent: a block of the whole span, or a random read of each.
                            const bool block = qualifies(false);
                            Driver.SendRead(PLC);
                            ASSERT_FALSE(Driver.Sent.empty());
                            const Bytes& sent = Driver.Sent.back().first;
                            // The sequence number counts the requests, 255 then 0.
                            EXPECT_EQ(sent[1], Driver.Sent.size() % 256);
                            EXPECT_EQ(sent[6], block ? CmdBlockRead : CmdRandomRead);
                            const std::uint32_t first = list.front()->Address;
                            if (block) {
                                EXPECT_EQ(sent, (Bytes{0x00, sent[1], 0xFF, 0xFF, 0x00, 0x00, 0xA0,
                                                       static_cast<std::uint8_t>(list.front()->Code), 0x00,
                                                       static_cast<std::uint8_t>(first >> 8),
                                                       static_cast<std::uint8_t>(first),
                                                       static_cast<std::uint8_t>(list.back()->Address -
                                                                                 first + 1)}));
                            } else {
                                EXPECT_EQ(sent[7], list.size());
                                EXPECT_EQ(sent.size(), 8 + 4 * list.size());
                            }
                            EXPECT_EQ(Locations[next]->ErrorCount, 1);
                            Driver.ReadList.clear();
                            next = i;
                        }
                    }
}

TEST_F(PlannerTest, SkipsUnrequestedAndDoubleWordsAndRetriesCountNoError) {
    THitachiLocation& a = Make(0x0A, 0, VarTypeUI2);
    Make(0x0A, 1, VarTypeUI2).ReadRequested = false;
    Make(0x0A, 2, VarTypeUI2).IsDoubleWord = true;
    a.TimedOut = true;
    for (auto& location : Locations) Driver.AddRead(*location);
    EXPECT_TRUE(Driver.ReadList == std::vector<THitachiLocation*>{&a} && !a.TimedOut);
    PLC.RetryPending = true;
    Driver.SendRead(PLC);
    EXPECT_EQ(a.ErrorCount, 0);
}

TEST_F(PlannerTest, WriteListLimit) {
    for (int i = 0; i < 40; ++i) Make(0x0A, static_cast<std::uint32_t>(i), VarTypeUI2).WritePending = i != 3;
    std::size_t taken = 0;
    while (taken < Locations.size() && Driver.AddWrite(*Locations[taken++])) {
    }
    EXPECT_EQ(std::tuple(Driver.WriteCount(), taken, Driver.FreeWriteSlots()), std::tuple(35, 36u, 0));
    EXPECT_FALSE(Driver.AddWrite(*Locations.back()));
    EXPECT_EQ(Driver.WriteCount(), 35);
}

// The real drivers on recording transports in the cycle: each PLC with one word polled.
class TransportCycleTest : public ::testing::Test {
protected:
    TransportCycleTest() { W.Factory.Real = true; }
    THitachiPLC& AddPlc(int kind, int protocol, int port = 3004, const char* host = "127.0.0.1") {
        THitachiPLC& plc = W.Add(kind, protocol, port, host);
        W.Monitor(plc, "WR0010");
        return plc;
    }
    TWorld W;
};

TEST_F(TransportCycleTest, SerialConnectedLineOnlyWhenTheSpeedWasDetected) {
    // COM1 detects its speed, COM2 has a fixed one.
    W.PLCs->SerialPorts.Port(2)->BaudRate = 19200;
    for (const int com : {1, 2}) {
        SCOPED_TRACE(com);
        AddPlc(DriverSerial, ProtocolStandard, 3003 + com);
        test::TRecordingComPort& port = *W.Transports.ComPorts.back();
        // The first transmission is a probe; the next one (a request, or the binary
        // switch on the fixed line) is answered.
        ASSERT_TRUE(W.RunUntil([&] { return port.Writes.size() == 2; }, 10000));
        port.Receive(test::Ascii("FFFF000000A4123477"));
    }
    EXPECT_EQ(W.T.Capture.CountStartingWith("Serial port 1 connected on 38400"), 1);
    EXPECT_EQ(W.T.Capture.CountStartingWith("Serial port 2 connected on"), 0);
}

TEST_F(TransportCycleTest, SilentAutodetectLineTimesOutOnceEverySpeedHadARequest) {
    AddPlc(DriverSerial, ProtocolStandard);
    test::TRecordingComPort& port = *W.Transports.ComPorts.back();
    ASSERT_TRUE(
        W.RunUntil([&] { return W.T.Capture.CountStartingWith("PLC PLC1 timed out at ") == 1; }, 300000));
    // Declared when the 25th transmission (a request at 4800 baud after its three probes)
    // is given up; the 26th leaves in the same run.
    EXPECT_EQ(port.Writes.size(), 26u);
    EXPECT_EQ(port.Writes[24].Baud, 4800);
    EXPECT_NE(port.Writes[24].Bytes, ProbeFrame());
}

TEST_F(TransportCycleTest, UdpAnswerAtAnotherPlcsSharedPortGoesToTheDriverOfItsSenderOrNowhere) {
    W.T.Context.Settings.UDPPortSame = true;
    THitachiPLC& first = AddPlc(DriverUdp, ProtocolEthernet);
    THitachiPLC& second = AddPlc(DriverUdp, ProtocolEthernet, 3004, "127.0.0.2");
    ASSERT_TRUE(first.Driver && second.Driver);
    ASSERT_NE(first.Driver, second.Driver);
    ASSERT_EQ(W.Transports.Udps.size(), 2u);
    test::TRecordingUdp& shared = *W.Transports.Udps[0];
    const Bytes answer{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x12, 0x34};
    auto counts = [&] { return std::tuple(first.Driver->MessageCount, second.Driver->MessageCount); };
    shared.Receive(answer, "127.0.0.1"); // no current PLC: ignored
    EXPECT_EQ(counts(), std::tuple(0, 0));

    first.Driver->CurrentPLC = &first;
    second.Driver->CurrentPLC = &second;
    shared.Receive(answer, "127.0.0.2");
    EXPECT_EQ(counts(), std::tuple(0, 1));
    shared.Receive(answer, "127.0.0.1");
    EXPECT_EQ(counts(), std::tuple(1, 1));
    // A sender that is no configured PLC, or no address at all, is dropped.
    shared.Receive(answer, "127.0.0.9");
    shared.Receive({0x00}, "not an address");
    EXPECT_EQ(counts(), std::tuple(1, 1));
}

// The serial, TCP and UDP drivers alone on recording transports: what each transmission puts
// on the link, and the log lines of failing links.
class TransportDriverFakeTest : public ::testing::Test {
protected:
    TransportDriverFakeTest() {
        PLC.SerialCom = 8; // the last port whose speed is detected
        PLC.ResolvedIP = "127.0.0.1";
    }
    static TDriverLink Link(int kind, int protocol, bool udpPortSame = false) {
        return {.Kind = kind,
                .Address = "127.0.0.1",
                .Port = 3004,
                .ComNumber = 1,
                .UdpPortSame = udpPortSame,
                .Protocol = protocol};
    }
    TWorld W;
    test::TTestContext& Test = W.T;
    test::TFakeTransportFactory& Transports = W.Transports;
    THitachiPLC& PLC = W.PLCs->AddPLC();
    const Bytes Request{0x02, 0x30, 0x31, 0x0D};
};

// The wait for a probe is the PLC's time-out, the wire time and 2000 ms once (counted twice,
// every probe after a reset waited 4.3 s instead of 2.3 s and an idle port took 13 s to give
// values again).
TEST_F(TransportDriverFakeTest, SerialDetectionStartsAt38400WithAProbeAndStepsDownAfterSevenTransmissions) {
    PLC.TimeOut = 1000;
    TSerialDriver driver(Test.Context, Link(DriverSerial, 1));
    ASSERT_EQ(Transports.ComPorts.size(), 1u);
    test::TRecordingComPort& port = *Transports.ComPorts[0];
    EXPECT_EQ(port.Port(), "COM1");
    THitachiLocation* word = W.PLCs->ResolveItemId(PLC.Name + ".WR0000").Location;
    ASSERT_NE(word, nullptr);
    // The probe counter of a fresh driver starts at 2: one probe (1000 + a few ms for some 20
    // characters at 38400 baud + 2000), then the requests (no probe time).
    for (const int wait : {3000, 1000}) {
        ASSERT_TRUE(driver.AddRead(*word).MoreRoom);
        driver.SendRead(PLC);
        EXPECT_EQ(driver.Probing, wait == 3000);
        EXPECT_TRUE(driver.Wait >= wait && driver.Wait < wait + 50) << driver.Wait;
    }
    for (int i = 2; i < 29; ++i) driver.Transmit(Request, &PLC);
    // Each write: P the probe, R the request, ? the read; the speed in hundreds; "-" DTR off; "!" not 7E.
    std::string writes;
    for (const auto& w : port.Writes)
        writes += std::string(w.Bytes == ProbeFrame() ? "P"
                              : w.Bytes == Request    ? "R"
                                                      : "?") +
                  std::to_string(w.Baud / 100) + (w.Dtr ? "" : "-") +
                  (w.DataBits == 7 && w.Parity == TComParity::Even ? " " : "! ");
    // The eighth goes at 19200 and restarts the probes, three now, DTR off for the first one. Then
    // 9600, 4800, and 38400 again.
    EXPECT_EQ(writes,
              "P384 ?384 R384 R384 R384 R384 R384 P192- P192 P192 R192 R192 R192 R192 P96- P96 P96 R96 R96 "
              "R96 R96 P48- P48 P48 R48 R48 R48 R48 P384- ");
    EXPECT_EQ(port.OverlappingWrites, 0);
    EXPECT_EQ(driver.TotalAttempts, 29);
}

TEST_F(TransportDriverFakeTest, SerialPortMissingOrFailingIsLoggedOnceAndAnIdlePortCloses) {
    TSerialDriver driver(Test.Context, Link(DriverSerial, 1));
    test::TRecordingComPort& port = *Transports.ComPorts[0];
    port.OpenAllowed = false;
    for (int i = 0; i < 2; ++i) driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tuple(port.Writes.size(), port.OpenCalls), std::tuple(0u, 2));
    EXPECT_EQ(Test.Capture.CountStartingWith("Serial port COM1 not available"), 1);

    port.OpenAllowed = true;
    port.WriteError = "I/O error";
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(Test.Capture.CountStartingWith("Failed to transmit serial message:"), 1);
    ASSERT_TRUE(port.Connected());
    driver.Idle = false;
    driver.CloseIfIdle();
    EXPECT_TRUE(port.Connected());
    driver.Idle = true;
    driver.CloseIfIdle();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(driver.ProbeCount, 0);
}

TEST_F(TransportDriverFakeTest, TcpOpensSendsOnceWritableAndASilentLinkIsRebuiltAfter120Seconds) {
    TTcpDriver driver(Test.Context, Link(DriverTcp, 3));
    ASSERT_EQ(Transports.Sockets.size(), 1u);
    test::TRecordingClientSocket& socket = *Transports.Sockets[0];
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tie(socket.OpenCalls, socket.OpenedAddress, socket.NoDelay),
              std::tuple(1, "127.0.0.1", true));
    EXPECT_TRUE(socket.Sent.empty());
    // Not yet connected: no second open until an error allows it.
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.OpenCalls, 1);

    EXPECT_EQ(socket.Fail(TSocketErrorKind::Connect), 0);
    EXPECT_EQ(socket.Fail(TSocketErrorKind::Connect), 0);
    EXPECT_EQ(Test.Capture.CountStartingWith("Unsuccessful connection to TCP port 127.0.0.1/3004 at "), 1);
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.OpenCalls, 2);
    socket.Connect(false); // connected, not yet writable: nothing goes out
    driver.Transmit(Request, &PLC);
    EXPECT_TRUE(socket.Sent.empty());
    // Closed by the PLC before a request saw it open: the next transmission opens again.
    socket.Connect();
    socket.Drop();
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.OpenCalls, 3);

    socket.Connect();
    socket.Fail(TSocketErrorKind::Send); // a failed send leaves the link writable for the next request
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.Sent, std::vector<Bytes>{Request});
    // What is left of an earlier answer is dropped with the next request.
    driver.CurrentPLC = &PLC;
    socket.Receive(Hex("0001FF"));
    driver.Transmit(Request, &PLC);
    socket.Receive(Hex("0000FFFF000017")); // seven bytes ending with the status: acted on
    EXPECT_EQ(PLC.LastStatus, 0x17);
    // An answer in pieces is taken once it is whole.
    socket.Receive(Hex("0000FFFF0000"));
    socket.Receive(Hex("12"));
    EXPECT_EQ(PLC.LastStatus, 0x12);
    // A piece that would be whole alone is not taken alone after a part of an answer.
    socket.Receive(Hex("00"));
    socket.Receive(Hex("00FFFF00001712"));
    EXPECT_EQ(PLC.LastStatus, 0x17);
    socket.Receive(Hex("0000FFFF000005")); // BUSY pauses the link, the back-off halved by the answers
    EXPECT_EQ(std::tuple(driver.Busy, driver.Wait), std::tuple(true, 20000));
    // After a success the next refusal is reported again.
    socket.Fail(TSocketErrorKind::Connect);
    EXPECT_EQ(Test.Capture.CountStartingWith("Unsuccessful connection to TCP port"), 2);

    // A module that takes every request and never answers: its link is rebuilt once it has
    // been silent for more than 120 s, the requests sent meanwhile notwithstanding.
    const char* line = "TCP port on PLC PLC1 not responding, please restart ethernet module";
    socket.Connect();
    for (int i = 0; i < 4; ++i) {
        Test.Platform.Advance(30000);
        driver.Transmit(Request, &PLC);
    }
    EXPECT_EQ(std::tuple(socket.Sent.size(), Test.Capture.CountStartingWith(line)), std::tuple(6u, 0));
    Test.Platform.Advance(1);
    driver.Transmit(Request, &PLC); // sent, then the socket is freed
    EXPECT_EQ(driver.Socket(), nullptr);
    EXPECT_EQ(std::tuple(driver.SilentCount, Test.Capture.CountStartingWith(line)), std::tuple(1, 1));
    // The next transmission creates a new socket for the PLC's address ...
    driver.Transmit(Request, &PLC);
    ASSERT_NE(driver.Socket(), nullptr);
    EXPECT_EQ(Transports.Sockets.size(), 2u);
    EXPECT_EQ(std::tie(driver.Socket()->Address, driver.Socket()->Port), std::tuple("127.0.0.1", 3004));
    // ... which the transmission after that opens, without another rebuild.
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tuple(Transports.Sockets[1]->OpenCalls, driver.SilentCount), std::tuple(1, 1));
    // A host name without an address was said as such: its silence is not blamed on the module.
    PLC.HostUnresolved = true;
    Test.Platform.Advance(120001);
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tuple(driver.SilentCount, Test.Capture.CountStartingWith("TCP port on PLC")),
              std::tuple(2, 1));
    // In the serial format a write's answer has 6 bytes: a sign of life too.
    TTcpDriver ascii(Test.Context, Link(DriverTcp, 1));
    Test.Platform.Advance(5);
    Transports.Sockets.back()->Receive(test::Ascii("FFFF000000A5AE"));
    EXPECT_EQ(ascii.LinkAliveTick, Test.Platform.Clock.TickCount());
}

TEST_F(TransportDriverFakeTest, UdpLocalPortRulesAndInvalidHost) {
    {
        TUdpDriver driver(Test.Context, Link(DriverUdp, 3));
        EXPECT_EQ(Transports.Udps.back()->LocalPort(), 0);
    }
    TUdpDriver driver(Test.Context, Link(DriverUdp, 3, true));
    test::TRecordingUdp& udp = *Transports.Udps.back();
    EXPECT_EQ(std::tuple(udp.LocalPort(), udp.ReportLevel), std::tuple(3004, 1));

    driver.Transmit(Request, &PLC);
    ASSERT_EQ(udp.Sent.size(), 1u);
    EXPECT_EQ(std::tie(udp.Sent[0].Host, udp.Sent[0].Port), std::tuple("127.0.0.1", 3004));

    EXPECT_TRUE(udp.RaiseInvalidHost());
    EXPECT_TRUE(udp.RaiseInvalidHost());
    EXPECT_EQ(Test.Capture.CountStartingWith("UDP port 127.0.0.1/3004 failed"), 1);
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(udp.Sent.size(), 1u);
    // Answers are routed by their sender's address: dotted texts only.
    for (auto [text, value] : {std::pair{"127.0.0.1", 0x7F000001u},
                               {"192.168.0.1", 0xC0A80001u},
                               {"255.255.255.255", 0xFFFFFFFFu}})
        EXPECT_EQ(TUdpDriver::AddressValue(text), value);
    for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1.2.3.4 ", "", "::ffff:127.0.0.1"})
        EXPECT_FALSE(TUdpDriver::AddressValue(bad)) << bad;
}

} // namespace
} // namespace dravon
