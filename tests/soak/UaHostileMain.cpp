// dravon-ua-hostile: the OPC UA endpoint (in-memory backend, real loopback sockets) under
// hostile clients beside honest ones for --duration seconds (default 60). Honest clients
// (TSoakUaClient from 127.0.0.1) keep a subscription, write their words and check every
// answer against the ledger; hostile ones connect from 127.0.0.2-127.0.0.9 and send
// garbage, idle in each connection state, hog sessions and subscriptions, shrink their
// limits and vanish. At the end: no honest client failed or went silent, the endpoint
// holds what they wrote, resident memory stayed flat, the endpoint's session log names
// each kind of misbehaviour and stays within its bound. Prints a summary; exit status 1
// on any fault.
#include "SoakSupport.h"
#include "SoakUaClient.h"

#include "ua/UaStatusCodes.h"

#include <QTimer>

using namespace dravon;
using namespace dravon::test;

namespace {

const char* const Usage = "usage: dravon-ua-hostile [--duration SECONDS] [--seed N]\n"
                          "  The OPC UA endpoint under hostile clients beside honest ones (default 60 s).\n";

// One misbehaving client: connects again whenever its connection is gone.
class THostile {
public:
    enum class TKind {
        Garbage,
        Silent,
        HelloOnly,
        HalfMessage,
        SessionHog,
        SubscriptionHog,
        Vanisher,
        TinyLimit
    };

    THostile(TKind kind, std::string source, std::uint16_t port, std::mt19937& random,
             soak::TSoakCounters& counters)
        : Kind_(kind), Source_(std::move(source)), Port_(port), Random_(random), Counters_(counters) {}

    void Step(std::int64_t nowMs) {
        if (!Wire_ || Wire_->Socket->state() == QAbstractSocket::UnconnectedState) {
            // Connect again soon after a drop, never in a tight loop.
            if (!NextConnectMs_) NextConnectMs_ = nowMs + 100 + static_cast<std::int64_t>(Random_() % 400);
            if (nowMs >= NextConnectMs_) Connect();
        } else if (Wire_->Socket->state() == QAbstractSocket::ConnectedState && !StartedMs_) {
            StartedMs_ = nowMs;
            Begin();
        } else if ((Kind_ == TKind::Vanisher || Kind_ == TKind::SubscriptionHog) && Activated_ &&
                   nowMs - StartedMs_ > 1500) {
            Wire_->Socket->abort(); // gone without a word
        }
    }

private:
    void Connect() {
        Wire_ = std::make_unique<soak::TUaWire>();
        Wire_->Raw.SessionName = "Hostile " + Source_;
        Wire_->Socket->bind(QHostAddress(QString::fromStdString(Source_)), 0);
        Activated_ = false;
        StartedMs_ = NextConnectMs_ = 0;
        QObject::connect(Wire_->Socket.get(), &QTcpSocket::readyRead, [this] {
            for (auto& f : Wire_->Frames()) Frame(f);
        });
        QObject::connect(Wire_->Socket.get(), &QTcpSocket::disconnected,
                         [this] { Counters_.Count("hostile connections dropped"); });
        Wire_->Socket->connectToHost(QHostAddress::LocalHost, Port_);
    }
    void Begin() {
        if (Kind_ == TKind::Garbage) {
            std::string junk(1 + Random_() % 300, '\0');
            for (auto& c : junk) c = static_cast<char>(Random_());
            // Half the time behind a plausible header, so that the frame parser is reached.
            if (Random_() % 2) junk.replace(0, std::min<std::size_t>(4, junk.size()), "MSGF");
            Wire_->Raw.Send(junk);
        } else if (Kind_ != TKind::Silent) {
            Wire_->Raw.Send(HelloFrame(65536, 65536, Kind_ != TKind::TinyLimit ? 0 : ++Tiny_ % 2 ? 27 : 28));
        }
    }
    void Frame(const TFrame& f) {
        TRawUaClient& raw = Wire_->Raw;
        TUaBinaryReader r(f.Body);
        if (f.Type == "ERRF") {
            Counters_.Count("Error messages to hostile clients");
            if (const TUaStatusCode code = r.StatusCode();
                Kind_ == TKind::TinyLimit && code != UaStatus::BadTcpNotEnoughResources)
                Counters_.Fault("tiny limit: unexpected error " + std::to_string(code));
        } else if (f.Type == "ACKF") {
            if (Kind_ != TKind::HelloOnly) raw.Send(OpenFrame(0, 1, 1));
        } else if (f.Type == "OPNF") {
            raw.ChannelId = r.UInt32();
            if (Kind_ == TKind::HalfMessage) {
                raw.Send(MessageFrame("MSGC", raw.ChannelId, 1, 2, 9, "begun"));
                raw.Send(MessageFrame("MSGF", raw.ChannelId, 1, 3, 9, std::string(200, 'x')).substr(0, 60));
            } else if (Kind_ == TKind::TinyLimit) {
                raw.Request(UaId::GetEndpointsRequest, [](TUaBinaryWriter& w) {
                    for (int i = 0; i < 3; ++i) w.Int32(-1);
                });
            } else {
                for (int i = 0; i < (Kind_ == TKind::SessionHog ? 6 : 1); ++i) raw.CreateSession(60000);
            }
        } else {
            std::string payload = MessagePayload(f);
            TUaBinaryReader m(payload);
            const TResponseStart start = ReadResponseStart(m);
            if (Kind_ == TKind::TinyLimit && start.ServiceResult != UaStatus::BadResponseTooLarge)
                Counters_.Fault("tiny limit: GetEndpoints not refused Bad_ResponseTooLarge");
            if (start.ServiceResult || (Kind_ != TKind::Vanisher && Kind_ != TKind::SubscriptionHog)) return;
            if (start.TypeId == UaId::CreateSessionResponse) {
                m.NodeId();
                raw.Activate(m.NodeId());
            } else if (start.TypeId == UaId::ActivateSessionResponse) {
                Activated_ = true;
                // Their answers come over the socket, not from the test client's call.
                for (int i = 0; i < (Kind_ == TKind::SubscriptionHog ? 25 : 1); ++i) raw.CreateSubscription();
            }
        }
    }

    TKind Kind_;
    std::string Source_;
    std::uint16_t Port_;
    std::mt19937& Random_;
    soak::TSoakCounters& Counters_;
    std::unique_ptr<soak::TUaWire> Wire_;
    bool Activated_ = false;
    int Tiny_ = 0;
    std::int64_t StartedMs_ = 0;
    std::int64_t NextConnectMs_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    soak::TSoakOptions options;
    options.DurationS = 60;
    options.Seed = 20261207;
    if (auto status = soak::ParseOptions(argc, argv, options, 10, Usage)) return *status;
    QCoreApplication app(argc, argv);
    const std::int64_t durationMs = options.DurationS * 1000;
    TUaConfig config;
    config.MaxSessions = 20;
    config.MaxSubscriptionsPerSession = 5;
    config.HandshakeTimeoutMs = 2000;
    config.MessageTimeoutMs = 3000;
    config.UnactivatedSessionTimeoutMs = 2000;
    config.SessionTimeoutMs = 5000;
    config.MaxChannelsPerAddress = 6;
    soak::TSoakUaRig rig(12, config, options.Seed);
    soak::TSoakCounters& counters = rig.Counters;
    if (!rig.Port()) return std::cout << "ua-hostile: cannot listen on 127.0.0.1\n", 1;

    std::vector<std::unique_ptr<soak::TSoakUaClient>> honest;
    for (int c = 0; c < 3; ++c) {
        std::vector<int> own{4 * c, 4 * c + 1, 4 * c + 2, 4 * c + 3};
        // Each watches only its own words: a change is in the ledger before anyone sees it.
        honest.push_back(std::make_unique<soak::TSoakUaClient>(rig.Env, "Honest" + std::to_string(c + 1),
                                                               rig.Port(), own, own, 100 + 100 * c, 10000));
        honest.back()->Connect();
    }
    std::vector<std::unique_ptr<THostile>> hostile;
    using K = THostile::TKind;
    // Eight sources, each with a few connections of one kind (more than its share for some).
    const std::pair<K, int> plan[] = {{K::Garbage, 3},     {K::Silent, 8},     {K::HelloOnly, 4},
                                      {K::HalfMessage, 4}, {K::SessionHog, 3}, {K::SubscriptionHog, 2},
                                      {K::Vanisher, 3},    {K::TinyLimit, 2}};
    for (std::size_t s = 0; s < std::size(plan); ++s)
        for (int i = 0; i < plan[s].second; ++i)
            hostile.push_back(std::make_unique<THostile>(plan[s].first, "127.0.0." + std::to_string(s + 2),
                                                         rig.Port(), rig.Random, counters));

    QElapsedTimer elapsed;
    elapsed.start();
    long warmRss = 0;
    std::uint64_t notificationsAtWarm = 0;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        const std::int64_t now = elapsed.elapsed();
        for (auto& h : honest) {
            h->Step();
            h->CheckOverdue();
        }
        for (auto& h : hostile) h->Step(now);
        if (!warmRss && now > durationMs / 4) {
            warmRss = soak::ReadMemory().Rss;
            notificationsAtWarm = counters.Counts["UA notifications (monitored items)"];
        }
        counters.Most("peak RSS (kB)", static_cast<std::uint64_t>(soak::ReadMemory().Rss));
        if (now > durationMs) app.quit();
    });
    driver.start(20);
    app.exec();
    driver.stop();

    soak::MemoryChange(counters, warmRss, soak::ReadMemory().Rss, 10);
    soak::Spin(
        [&] { return std::all_of(honest.begin(), honest.end(), [](auto& h) { return !h->Outstanding(); }); },
        5000);
    std::vector<soak::TSoakActivity> activity;
    for (auto& h : honest) {
        if (!h->Ready()) counters.Fault("an honest client is no longer connected");
        std::string why;
        if (!h->Settled(&why, false)) counters.Fault(why);
        activity.push_back(h->Activity);
    }
    for (const auto& f : rig.Ledger.Check([&](int index) { return rig.Held(rig.Ledger.ItemId(index)); }))
        counters.Fault(f);
    for (const auto& f : soak::CheckActivity(activity, options.DurationS)) counters.Fault(f);
    if (counters.Counts["UA notifications (monitored items)"] - notificationsAtWarm < options.DurationS)
        counters.Fault("honest clients received too few notifications after the warm-up");
    for (const char* part : {"OPC UA error ", "OPC UA connection from 127.0.0.3 timed out", "refused: ",
                             "Bad_TooManySessions", "Bad_TooManySubscriptions", "closed: not activated",
                             "OPC UA connection from 127.0.0.5 timed out: Message not completed"})
        if (!rig.Lines.Containing(part))
            counters.Fault(std::string("no session-log line with \"") + part + "\"");
    // The endpoint's own lines (the server objects' client lines come on top).
    const std::size_t minutes = (options.DurationS + 59) / 60;
    const std::size_t endpointLines = static_cast<std::size_t>(rig.Lines.Containing("OPC UA "));
    if (endpointLines > (TUaEventLog::MaxLinesPerWindow + 1) * (minutes + 1))
        counters.Fault("the endpoint wrote " + std::to_string(endpointLines) + " session-log lines");

    for (const auto& l : rig.Lines.Lines)
        if (l.rfind("OPC UA ", 0) == 0) std::cout << "  log: " << l << "\n";
    counters.Count("hostile connections", hostile.size());
    counters.Count("UA writes confirmed (Good)", rig.Ledger.WritesConfirmed());
    counters.Count("session-log lines", rig.Lines.Total);
    std::cout << "ua-hostile: " << options.DurationS << " s\n";
    const int status = soak::PrintSummary("ua-hostile", counters, activity);
    hostile.clear();
    honest.clear();
    return status;
}
