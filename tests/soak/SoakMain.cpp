// dravon-soak: the server core in-process (PLC list, communication manager and transport
// drivers as the program wires them, the OPC connection list with its 25 ms tick) polls
// four simulated PLCs over TCP, TCP, UDP and a pseudo-terminal while OPC clients
// subscribe, read from the device and write, and the simulators inject faults on a plan.
// At the end it checks that nothing hung, nothing was lost, qualities recovered, memory
// stayed flat and the session log tells each outage once. Exit status 1 on any failure.
#include "SoakSchedule.h"
#include "SoakSupport.h"
#include "SoakUaClient.h"

#include "PlcSimulator.h"
#include "SimMemoryTypes.h"
#include "integration/ProgramServer.h"

#include "comm/SerialDevicePath.h"
#include "plc/HitachiPLC.h"
#include "plc/SerialPortTable.h"
#include "ua/UaConfig.h"

#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>

namespace dravon::soak {
namespace {

const char* const Usage =
    "usage: dravon-soak [--duration SECONDS] [--seed N] [--clients N] [--verbose]\n"
    "  Runs the server core against simulated PLCs with faults and OPC clients, then checks\n"
    "  that nothing hung or was lost, qualities recovered, memory stayed flat and the session\n"
    "  log tells each outage once. Default duration 600 s (at least 45 s). Exit status 1 on a\n"
    "  failed check.\n";

struct TPlc {
    TSoakPlcSetup Setup;
    std::unique_ptr<TPlcSimulator> Sim;
    std::vector<int> Items;      // ledger indexes of the words every main client holds
    std::vector<int> ChurnItems; // words only the coming-and-going client holds
    std::vector<int> UaItems;    // words only the OPC UA clients write (half each)
    int Outages = 0;
    int Passes = 0;
    std::uint32_t LastPassTick = 0;
};

class TSoakRun {
public:
    explicit TSoakRun(const TSoakOptions& options) : Options_(options), Random_(options.Seed) {}

    int Run() {
        if (!Program_.Home.isValid()) return Fail("no temporary folder");
        if (!StartSimulators()) return 1;
        if (!WriteUaSettings()) return 1;
        Plan_ = PlanFaults(Setups(), WarmupMs(), FaultsEndMs());
        PhaseSteps_.assign(Plan_.size(), 0);

        // The OPC server objects and the OPC UA endpoint, as the program wires them.
        Log_.Now = [this] { return Elapsed_.isValid() ? Now() : 0; };
        Log_.Echo = Options_.Verbose;
        Program_.Start(&Log_);
        TOPCServer* opcServer = Program_.Opc.get();
        Plcs_ = Program_.Core->Context().PLCs;
        if (!Plcs_ || Plcs_->Count() != static_cast<int>(Plc_.size()))
            return Fail("the PLC list did not load");
        for (int p = 0; p < Plcs_->Count(); ++p)
            if (Plcs_->PLCByIndex(p).Host != "127.0.0.1") return Fail("a PLC is not on loopback");

        TOPCDAConnectionCollection* connections = opcServer->Connections();
        Endpoint_ = opcServer->Endpoint();
        if (!connections || !opcServer->Factory()) return Fail("the OPC server objects did not start");
        if (!Endpoint_)
            return Fail("the OPC UA endpoint could not listen on 127.0.0.1:" + std::to_string(UaPort_));
        // Two failed reads make a location faulty; under a loaded sanitizer build the
        // server's own bound (twice the 1 s time-out plus 5 s) gets 5 s of slack: 12 s.
        Env_ = TSoakEnv{
            opcServer->Factory(), &Program_.Clock, &Ledger_, &Counters_, &Random_, false, 12000, 20000};
        Ledger_.Plc = [this](int index) { return PlcValue(index); };

        StartLocations_ = LocationCount();
        MakeClients();
        bool connected = true;
        for (auto& client : Clients_) connected = connected && client->Connect();
        for (auto& client : UaClients_) client->Connect();
        Spin([&] { return EveryUa([](auto& c) { return c.Ready() || c.Done(); }); }, 15000);
        if (!connected || !EveryUa([](auto& c) { return c.Ready(); })) {
            // The clients hold server objects: they go before the server does.
            Clients_.clear();
            UaClients_.clear();
            return Fail("a client could not connect: " +
                        (Counters_.Faults.empty() ? "?" : Counters_.Faults.front()));
        }

        Elapsed_.start();
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, [this] { Tick(); });
        driver.start(10);
        ClientsActive_ = true;

        Spin([&] { return Now() >= WarmupMs(); }, WarmupMs() + 1000);
        WarmMemory_ = ReadMemory();
        std::cout << "soak: warm-up done, RSS " << WarmMemory_.Rss << " kB; " << Plan_.size()
                  << " fault phases until " << FaultsEndMs() / 1000 << " s" << std::endl;

        Spin([&] { return Now() >= FaultsEndMs() && PhasesOver_ == Plan_.size(); }, FaultsEndMs() + 5000);
        for (auto& plc : Plc_) {
            plc.Sim->SetFaults(TSimFaults{});
            plc.Sim->SetPower(true);
        }
        CheckRecovery();

        Spin([&] { return Now() >= QuiesceMs(); }, QuiesceMs() + 1000);
        ClientsActive_ = false;
        ChurnActive_ = false;
        if (Churn_) Churn_->Disconnect();
        VanishActive_ = false;
        Await([&] { return Every([](auto* c) { return c->Outstanding() == 0; }); }, Env_.TransactionBoundMs,
              "transactions still unanswered after the clients stopped");
        Await([&] { return !WritesPending(); }, 15000, "writes still pending at the end");
        // The last vanished client is checked like the others.
        Await([&] { return !Vanisher_; }, VanishCheckMs() + 15000,
              "the last vanished OPC UA client was never checked");
        const std::uint64_t freed = Counters_.Counts["UA vanished sessions freed"];
        if (freed != static_cast<std::uint64_t>(UaVanishers_) || UaVanishers_ == 0)
            Counters_.Fault(std::to_string(freed) + " of " + std::to_string(UaVanishers_) +
                            " vanished OPC UA clients' sessions freed at their time-out");
        EndMemory_ = ReadMemory();
        for (const auto& f : Ledger_.Check([&](int index) { return PlcValue(index); })) Counters_.Fault(f);
        // Every client was told the values the PLC holds now, and did its share.
        std::string why;
        if (!Spin([&] { return Every([&](auto* c) { return c->Settled(&why, true); }); },
                  2 * SlowestRate() + 2000))
            Counters_.Fault("at the end: " + why);
        for (auto* client : All()) Activity_.push_back(client->Activity);
        for (const auto& f : CheckActivity(Activity_, Options_.DurationS)) Counters_.Fault(f);

        for (auto& client : Clients_) client->Disconnect();
        Churn_.reset();
        for (auto& client : UaClients_) client->Close();
        Await([&] { return EveryUa([](auto& c) { return c.Done(); }); }, 10000,
              "an OPC UA client's CloseSession was not answered within 10 s");
        UaClients_.clear();
        Vanisher_.reset();
        Await([&] { return Endpoint_->SessionCount() == 0; }, 15000,
              "OPC UA sessions left after the clients went");
        Await([&] { return connections->Count() == 0 && LocationCount() == StartLocations_; }, 15000,
              "server objects or locations left after the clients went");
        EndLocations_ = LocationCount();
        driver.stop();
        MemoryChangePercent_ = MemoryChange(Counters_, WarmMemory_.Rss, EndMemory_.Rss, 5);
        CheckLog();

        Env_.Factory = nullptr;
        Endpoint_ = nullptr;
        Program_.Shutdown();
        Program_.Opc.reset();
        Program_.Communication.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (auto& plc : Plc_) plc.Sim->Stop();
        return Summary();
    }

private:
    // ------------------------------------------------------------- timeline (ms)
    std::uint32_t DurationMs() const { return Options_.DurationS * 1000; }
    std::uint32_t WarmupMs() const { return std::clamp<std::uint32_t>(DurationMs() / 6, 8000, 30000); }
    std::uint32_t FaultsEndMs() const {
        return DurationMs() - std::clamp<std::uint32_t>(DurationMs() / 4, 15000, 60000);
    }
    std::uint32_t QuiesceMs() const { return DurationMs() - 3000; }
    std::uint32_t Now() const { return static_cast<std::uint32_t>(Elapsed_.elapsed()); }

    // A run that cannot start: false (Stop) or exit status 1 (Fail).
    bool Stop(const std::string& why) {
        std::cerr << "soak: " << why << std::endl;
        return false;
    }
    int Fail(const std::string& why) { return Stop(why) ? 0 : 1; }

    // Freed at the time-out, found by the endpoint's housekeeping: slack for a loaded machine.
    static std::uint32_t VanishCheckMs() {
        return VanishTimeoutMs + 2 * TUaServer::HousekeepingIntervalMs + 3000;
    }

    std::vector<TSoakClientBase*> All() const {
        std::vector<TSoakClientBase*> all;
        for (const auto& c : Clients_) all.push_back(c.get());
        for (const auto& c : UaClients_) all.push_back(c.get());
        return all;
    }
    bool Every(const std::function<bool(TSoakClientBase*)>& holds) const {
        const auto all = All();
        return std::all_of(all.begin(), all.end(), holds);
    }
    bool EveryUa(const std::function<bool(TSoakUaClient&)>& holds) const {
        return std::all_of(UaClients_.begin(), UaClients_.end(), [&](auto& c) { return holds(*c); });
    }
    // Spins until the condition holds; a fault when it does not within the bound.
    void Await(const std::function<bool()>& holds, std::int64_t boundMs, const std::string& fault) {
        if (!Spin(holds, boundMs)) Counters_.Fault(fault);
    }
    std::uint32_t SlowestRate() const {
        std::uint32_t slowest = 0;
        for (const auto& client : Clients_) slowest = std::max(slowest, client->UpdateRate());
        return slowest;
    }

    // ------------------------------------------------------------- set-up
    std::vector<TSoakPlcSetup> Setups() const {
        std::vector<TSoakPlcSetup> s;
        for (const auto& plc : Plc_) s.push_back(plc.Setup);
        return s;
    }

    bool StartSimulators() {
        using K = TSimTransportKind;
        for (const auto& [name, kind] :
             {std::pair{"TcpA", K::Tcp}, {"TcpB", K::Tcp}, {"UdpC", K::Udp}, {"SerD", K::Serial}}) {
            TSimTransportConfig config;
            config.Kind = kind;
            config.Port = 0;
            if (kind == K::Serial) {
                config.Link.Protocol = 1;
                config.Link.IsSerial = true;
                config.Link.Framing = TSimFraming::Switch;
                config.LineSpeed = SerialSpeed;
            }
            TPlc plc;
            plc.Setup = {name, kind, 1000};
            plc.Sim = std::make_unique<TPlcSimulator>(std::vector<TSimTransportConfig>{config});
            std::string error;
            if (!plc.Sim->Start(&error)) return Stop("simulator for " + std::string(name) + ": " + error);
            // In the PLC list (COM1 is the pseudo-terminal) on 127.0.0.1.
            const bool serial = kind == K::Serial;
            Program_.StorePLC(name,
                              serial           ? 3
                              : kind == K::Tcp ? 2
                                               : 1,
                              serial ? 1 : plc.Sim->Port(0), static_cast<std::uint32_t>(plc.Setup.TimeOut));
            if (serial) {
                auto ports = Program_.Store.OpenKey(TRootKey::LocalMachine, SerialPortsKeyPath);
                ports->WriteString("Device0", plc.Sim->SerialPath(0));
                ports->WriteDword("BaudRate0", SerialSpeed);
            }
            // Words every main client holds (two runs, so a pass needs more than one
            // block), words only the coming-and-going client holds and the UA clients' own.
            for (auto [words, from, count] : {std::tuple{&plc.Items, 0x100u, 16u},
                                              {&plc.Items, 0x180u, 4u},
                                              {&plc.ChurnItems, 0x300u, 4u},
                                              {&plc.UaItems, 0x280u, 4u}})
                for (std::uint32_t a = from; a < from + count; ++a) words->push_back(AddWord(plc, a));
            Plc_.push_back(std::move(plc));
        }
        return true;
    }

    int AddWord(TPlc& plc, std::uint32_t address) {
        char text[16];
        std::snprintf(text, sizeof text, "WR%04X", address);
        const int index = Ledger_.Add(plc.Setup.Name + "." + text);
        std::uint8_t code = 0;
        std::uint32_t packed = 0;
        bool isDouble = false;
        if (SimParseAddressText(text, code, packed, isDouble)) {
            Words_.push_back({static_cast<int>(Plc_.size()), code, packed});
            plc.Sim->SetValue(0, code, packed, TSoakLedger::InitialValue(index));
        }
        return index;
    }

    // The endpoint on a free loopback port (the port is a setting: a port the system just
    // handed out and took back) and a short session time-out, so that a client that
    // vanishes is cleaned up within the run.
    bool WriteUaSettings() {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return Stop("no free port on 127.0.0.1 for the OPC UA endpoint");
        UaPort_ = probe.serverPort();
        probe.close();
        TUaConfig config;
        config.Port = UaPort_;
        config.BindAddress = "127.0.0.1";
        config.SessionTimeoutMs = UaSessionTimeoutMs;
        return SaveUaConfig(Program_.Store, config) || Stop("the OPC UA settings could not be stored");
    }

    void MakeClients() {
        std::vector<int> all;
        for (const auto& plc : Plc_) all.insert(all.end(), plc.Items.begin(), plc.Items.end());
        const std::uint32_t rates[] = {100, 250, 500, 200, 150, 300, 400, 350};
        for (int c = 0; c < static_cast<int>(Options_.Clients); ++c) {
            // Client 0 writes to the first half of the PLCs, client 1 to the second half,
            // the others everywhere: most words have more than one writer.
            std::vector<int> writable;
            for (std::size_t p = 0; p < Plc_.size(); ++p) {
                const bool firstHalf = p < Plc_.size() / 2;
                if (c >= 2 || (c == 0) == firstHalf)
                    writable.insert(writable.end(), Plc_[p].Items.begin(), Plc_[p].Items.end());
            }
            Clients_.push_back(std::make_unique<TSoakClient>(Env_, "Soak" + std::to_string(c + 1), all,
                                                             writable, rates[c % 8]));
        }
        // OPC UA clients: each writes its own half of the UA words (nobody else writes them,
        // so the order of the Write answers is the order the server stored the values in)
        // and watches and reads those and five words per PLC that the DA clients write.
        const double publishing[] = {100, 250};
        for (int c = 0; c < UaClientCount; ++c) {
            std::vector<int> watched;
            std::vector<int> writable;
            for (const auto& plc : Plc_) {
                watched.insert(watched.end(), plc.Items.begin() + 5 * c, plc.Items.begin() + 5 * c + 5);
                writable.insert(writable.end(), plc.UaItems.begin() + 2 * c, plc.UaItems.begin() + 2 * c + 2);
            }
            watched.insert(watched.end(), writable.begin(), writable.end());
            UaClients_.push_back(std::make_unique<TSoakUaClient>(Env_, "SoakUa" + std::to_string(c + 1),
                                                                 UaPort_, watched, writable, publishing[c],
                                                                 UaSessionTimeoutMs));
        }
    }

    // ------------------------------------------------------------- the 10 ms driver
    void Tick() {
        const std::uint32_t now = Now();
        // Every phase begins and then ends once (0 waiting, 1 running, 2 over).
        for (std::size_t i = 0; i < Plan_.size(); ++i) {
            const TFaultPhase& phase = Plan_[i];
            std::uint8_t& step = PhaseSteps_[i];
            if (step == 2 || now < (step ? phase.EndMs : phase.StartMs)) continue;
            const bool begin = step++ == 0;
            PhasesOver_ += !begin;
            TPlc& plc = Plc_[static_cast<std::size_t>(phase.Plc)];
            if (phase.Kind == TFaultKind::Outage) {
                plc.Sim->SetPower(!begin);
                plc.Outages += begin;
            } else {
                plc.Sim->SetFaults(begin ? FaultSettings(phase.Kind, plc.Setup) : TSimFaults{});
            }
            if (begin) ++PhasesRun_[static_cast<int>(phase.Kind)];
            if (Options_.Verbose)
                std::cout << "soak: " << now << " ms " << plc.Setup.Name << " " << FaultKindName(phase.Kind)
                          << (begin ? " begins" : " ends") << std::endl;
        }
        for (std::size_t p = 0; p < Plc_.size() && Plcs_; ++p) {
            const std::uint32_t start = Plcs_->PLCByIndex(static_cast<int>(p)).PassStartTick;
            if (start != Plc_[p].LastPassTick) {
                Plc_[p].LastPassTick = start;
                ++Plc_[p].Passes;
            }
        }
        if (ClientsActive_ && now >= NextStep_) {
            NextStep_ = now + 40;
            for (std::size_t c = 0; c < Clients_.size(); ++c) {
                const int roll = std::uniform_int_distribution<int>(0, 99)(Random_);
                if (roll < 50) Clients_[c]->Step();
                // A synchronous read waits inside its own event: this timer must go on
                // firing meanwhile (a timer never fires inside its own handler).
                else if (roll < 54)
                    QTimer::singleShot(0, &Later_, [this, c] {
                        if (ClientsActive_) Clients_[c]->SyncDeviceRead();
                    });
            }
            for (auto& client : UaClients_) client->Step();
        }
        if (ChurnActive_) Churn(now);
        if (VanishActive_ || Vanisher_) Vanishing(now);
        for (auto* client : All()) client->CheckOverdue();
        if (Churn_) Churn_->CheckOverdue();
        if (now >= NextMemorySample_) {
            NextMemorySample_ = now + 1000;
            const TMemory m = ReadMemory();
            PeakRss_ = std::max(PeakRss_, m.Rss);
            if (Options_.Verbose)
                std::cout << "soak: " << now / 1000 << " s RSS " << m.Rss << " kB heap " << m.Heap << " kB"
                          << std::endl;
        }
    }

    // A client that connects, writes to words nobody else holds and leaves again at once:
    // its writes must still reach the PLC, and its words must be freed afterwards.
    void Churn(std::uint32_t now) {
        if (now < NextChurn_) return;
        if (Churn_) {
            Churn_->Disconnect();
            Churn_.reset();
            NextChurn_ = now + 1500;
            return;
        }
        std::vector<int> items;
        for (const auto& plc : Plc_) items.insert(items.end(), plc.ChurnItems.begin(), plc.ChurnItems.end());
        Churn_ = std::make_unique<TSoakClient>(Env_, "Churn" + std::to_string(++ChurnConnects_), items, items,
                                               200);
        if (Churn_->Connect()) {
            Churn_->WriteOne();
            Churn_->WriteOne();
        }
        NextChurn_ = now + 700;
    }

    // A UA client that opens a session with a subscription and drops its connection
    // without closing anything: the server keeps the session for its time-out, then must
    // free it with its server object, group and location references.
    void Vanishing(std::uint32_t now) {
        if (!Vanisher_) {
            // The last one is checked before the clients stop.
            if (!VanishActive_ || now < NextVanish_ || now + 2000 + VanishCheckMs() > QuiesceMs() ||
                !Endpoint_)
                return;
            std::vector<int> watched;
            for (const auto& plc : Plc_)
                watched.insert(watched.end(), plc.Items.begin() + 10, plc.Items.begin() + 15);
            Vanisher_ =
                std::make_unique<TSoakUaClient>(Env_, "Vanish" + std::to_string(++UaVanishers_), UaPort_,
                                                watched, std::vector<int>{}, 200, VanishTimeoutMs);
            Vanisher_->Connect();
            VanishStart_ = now;
            VanishedAt_ = 0;
            return;
        }
        if (!VanishedAt_) {
            if (Vanisher_->Ready()) {
                Vanisher_->VanishAfterRead();
                VanishedAt_ = now;
            } else if (Vanisher_->State() == TSoakUaClient::TState::Failed || now - VanishStart_ > 15000) {
                Counters_.Fault("a vanishing OPC UA client did not get its session going");
                Vanisher_.reset();
                NextVanish_ = now + 10000;
            }
            return;
        }
        if (now - VanishedAt_ < VanishCheckMs()) return;
        std::size_t live = 0;
        for (const auto& client : UaClients_) // sessions working (or closing at the end)
            if (!client->Done()) ++live;
        if (Endpoint_->SessionCount() > live)
            Counters_.Fault("the session of a vanished OPC UA client outlived its " +
                            std::to_string(VanishTimeoutMs) + " ms time-out (" +
                            std::to_string(Endpoint_->SessionCount()) + " sessions, " + std::to_string(live) +
                            " clients)");
        else
            Counters_.Count("UA vanished sessions freed");
        Vanisher_.reset();
        NextVanish_ = now + 10000;
    }

    // ------------------------------------------------------------- checks
    // After the last fault every item is GOOD within two poll passes; a pass only reads
    // what the groups asked for, so the counting starts one update period later.
    void CheckRecovery() {
        // First every PLC must be in contact again: a link that was switched off reconnects,
        // a serial line may probe its speed first.
        const std::uint32_t cleared = Now();
        std::string away;
        auto contact = [&] {
            away.clear();
            for (int p = 0; p < Plcs_->Count(); ++p)
                if (Plcs_->PLCByIndex(p).TimedOutState) away = Plcs_->PLCByIndex(p).Name;
            return away.empty();
        };
        const bool inContact = Spin(contact, 30000);
        ContactMs_ = Now() - cleared;
        if (!inContact) return Counters_.Fault("PLC " + away + " still timed out 30 s after the last fault");
        const std::uint32_t slowest = SlowestRate();
        const std::uint32_t from = Now();
        Spin([&] { return Now() >= from + slowest; }, slowest + 1000);
        std::vector<int> base;
        for (const auto& plc : Plc_) base.push_back(plc.Passes);
        auto passed = [&] {
            for (std::size_t p = 0; p < Plc_.size(); ++p)
                if (Plc_[p].Passes < base[p] + 2) return false;
            return true;
        };
        if (!Spin(passed, 30000))
            return Counters_.Fault(
                "not every PLC completed two poll passes within 30 s after the last fault");
        RecoveryMs_ = Now() - from;
        std::string why;
        for (auto& client : Clients_)
            if (!client->AllGood(&why)) Counters_.Fault("two passes after the last fault: " + why);
        // The subscriptions tell the clients too, within one update period.
        if (!Spin([&] { return Every([&](auto* c) { return c->Settled(&why, false); }); },
                  2 * slowest + 2000))
            Counters_.Fault("after recovery: " + why);
    }

    int LocationCount() const {
        int n = 0;
        if (!Plcs_) return n;
        for (int p = 0; p < Plcs_->Count(); ++p) n += Plcs_->PLCByIndex(p).Monitored.Count();
        return n;
    }

    bool WritesPending() const {
        for (int p = 0; Plcs_ && p < Plcs_->Count(); ++p)
            if (Plcs_->PLCByIndex(p).HasPendingWrites()) return true;
        return false;
    }

    std::uint16_t PlcValue(int index) const {
        const TWord& w = Words_[static_cast<std::size_t>(index)];
        return Plc_[static_cast<std::size_t>(w.Plc)].Sim->Value(0, w.Code, w.Address);
    }

    void CheckLog() {
        for (const auto& plc : Plc_) {
            const int down = Log_.Containing("PLC " + plc.Setup.Name + " timed out at");
            const int up = Log_.Containing("PLC " + plc.Setup.Name + " restored at");
            if (down != plc.Outages || up != plc.Outages)
                Counters_.Fault(plc.Setup.Name + ": " + std::to_string(plc.Outages) + " outages but " +
                                std::to_string(down) + " \"timed out\" and " + std::to_string(up) +
                                " \"restored\" lines");
        }
        // No flood: a kind of line (digits masked) is told at most once per fault phase and
        // client event that can cause it.
        const int clientEvents =
            4 * (ChurnConnects_ + static_cast<int>(Options_.Clients) + UaClientCount + UaVanishers_) + 10;
        const int faultEvents = static_cast<int>(Plan_.size()) + 4;
        for (const auto& [kind, count] : Log_.Kinds)
            if (count > (ClientLine(kind) ? clientEvents : faultEvents))
                Counters_.Fault("log flood: " + std::to_string(count) + " lines \"" + kind + "\"");
    }

    // ------------------------------------------------------------- report
    int Summary() {
        auto& n = Counters_.Counts;
        auto u = [](auto v) { return static_cast<std::uint64_t>(v); };
        for (const auto& plc : Plc_) {
            const TSimStats s = plc.Sim->Stats();
            const std::uint64_t counts[] = {s.FaultLatencySpikes, s.FaultBusy,   s.FaultErrors,
                                            s.FaultDrops,         s.FaultSplits, s.FaultGarbage,
                                            s.FaultCloses,        u(plc.Outages)};
            for (int k = 0; k < FaultKindCount; ++k)
                n[std::string("faults injected: ") + FaultKindName(static_cast<TFaultKind>(k))] += counts[k];
            n["requests ignored while off"] += s.Ignored;
            n["PLC requests"] += s.Requests();
            n[plc.Setup.Name + " outages"] = u(plc.Outages);
            n[plc.Setup.Name + " timed out"] = u(Log_.Containing("PLC " + plc.Setup.Name + " timed out at"));
            n[plc.Setup.Name + " restored"] = u(Log_.Containing("PLC " + plc.Setup.Name + " restored at"));
        }
        for (const auto& [kind, phases] : PhasesRun_)
            n[std::string("fault phases: ") + FaultKindName(static_cast<TFaultKind>(kind))] = u(phases);
        n["writes made (DA accepted, UA sent)"] = Ledger_.WritesMade();
        n["writes confirmed (S_OK, Good)"] = Ledger_.WritesConfirmed();
        n["values checked"] = Ledger_.Observations();
        n["coming-and-going clients"] = u(ChurnConnects_);
        n["UA vanished clients"] = u(UaVanishers_);
        n["in contact after the faults (ms)"] = ContactMs_;
        n["GOOD after the faults (ms)"] = RecoveryMs_;
        n["heap after warm-up (kB)"] = u(WarmMemory_.Heap);
        n["heap at end (kB)"] = u(EndMemory_.Heap);
        n["peak RSS (kB)"] = u(std::max(PeakRss_, EndMemory_.Peak));
        n["locations at start"] = u(StartLocations_);
        n["locations at end"] = u(EndLocations_);
        n["session-log lines"] = Log_.Total;
        std::printf("\nsoak summary (%u s, seed %u, %u clients), RSS change %+.2f %%\n", Options_.DurationS,
                    Options_.Seed, Options_.Clients, MemoryChangePercent_);
        if (!Counters_.Faults.empty()) {
            std::printf("fault plan:\n");
            for (const auto& phase : Plan_)
                std::printf("  %6u-%6u ms  %-5s %s\n", phase.StartMs, phase.EndMs,
                            Plc_[static_cast<std::size_t>(phase.Plc)].Setup.Name.c_str(),
                            FaultKindName(phase.Kind));
            std::printf("session log:\n");
            for (const auto& [kind, count] : Log_.Kinds)
                if (ClientLine(kind)) std::printf("  %5d x  %s\n", count, kind.c_str());
            for (std::size_t i = 0; i < Log_.Lines.size(); ++i)
                std::printf("  %6u ms  %s\n", Log_.Times[i], Log_.Lines[i].c_str());
        }
        return PrintSummary("soak", Counters_, Activity_);
    }

    static constexpr std::uint32_t SerialSpeed = 19200;
    static constexpr int UaClientCount = 2;
    // Longest session time-out of the endpoint (the working clients ask for it) and the
    // one a vanishing client asks for.
    static constexpr std::uint32_t UaSessionTimeoutMs = 10000;
    static constexpr std::uint32_t VanishTimeoutMs = 2000;

    struct TWord {
        int Plc;
        std::uint8_t Code;
        std::uint32_t Address;
    };

    TSoakOptions Options_;
    std::mt19937 Random_;
    std::vector<TPlc> Plc_;
    std::vector<TWord> Words_; // by ledger index
    TSoakLedger Ledger_;
    TSoakCounters Counters_;
    TSoakEnv Env_;
    TLogRecorder Log_;
    TPLCCollection* Plcs_ = nullptr;
    std::vector<TFaultPhase> Plan_;
    std::vector<std::uint8_t> PhaseSteps_;
    std::size_t PhasesOver_ = 0;
    std::map<int, int> PhasesRun_;
    std::vector<std::unique_ptr<TSoakClient>> Clients_;
    std::vector<TSoakActivity> Activity_;
    std::unique_ptr<TSoakClient> Churn_;
    int ChurnConnects_ = 0;
    std::uint16_t UaPort_ = 0;
    TUaServer* Endpoint_ = nullptr;
    std::vector<std::unique_ptr<TSoakUaClient>> UaClients_;
    std::unique_ptr<TSoakUaClient> Vanisher_;
    int UaVanishers_ = 0;
    bool VanishActive_ = true;
    std::uint32_t NextVanish_ = 4000;
    std::uint32_t VanishStart_ = 0;
    std::uint32_t VanishedAt_ = 0;
    QElapsedTimer Elapsed_;
    QObject Later_; // context of deferred calls: they go with the run
    bool ClientsActive_ = false;
    bool ChurnActive_ = true;
    std::uint32_t NextStep_ = 0;
    std::uint32_t NextChurn_ = 0;
    std::uint32_t NextMemorySample_ = 0;
    std::uint32_t RecoveryMs_ = 0;
    std::uint32_t ContactMs_ = 0;
    int StartLocations_ = 0;
    int EndLocations_ = 0;
    TMemory WarmMemory_;
    TMemory EndMemory_;
    long PeakRss_ = 0;
    double MemoryChangePercent_ = 0;
    // Last: the server goes before the clients, the simulators and the log it reports to.
    test::TProgramServer Program_;
};

} // namespace
} // namespace dravon::soak

int main(int argc, char** argv) {
    dravon::soak::TSoakOptions options;
    if (auto status = dravon::soak::ParseOptions(argc, argv, options, 45, dravon::soak::Usage))
        return *status;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication application(argc, argv);
    dravon::soak::TSoakRun run(options);
    return run.Run();
}
