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
#include "UaTestClient.h"

#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "ua/UaStatusCodes.h"

#include <QTcpSocket>
#include <QTimer>

#include <random>

using namespace dravon;
using namespace dravon::test;

namespace {

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
             std::vector<std::string>& faults)
        : Kind_(kind), Source_(std::move(source)), Port_(port), Random_(random), Faults_(faults) {}

    void Step(std::int64_t nowMs) {
        if (!Socket_ || Socket_->state() == QAbstractSocket::UnconnectedState) {
            // Connect again soon after a drop, never in a tight loop.
            if (!NextConnectMs_) NextConnectMs_ = nowMs + 100 + static_cast<std::int64_t>(Random_() % 400);
            if (nowMs >= NextConnectMs_) Connect();
        } else if (Socket_->state() == QAbstractSocket::ConnectedState && !StartedMs_) {
            StartedMs_ = nowMs;
            Begin();
        } else if ((Kind_ == TKind::Vanisher || Kind_ == TKind::SubscriptionHog) && Activated_ &&
                   nowMs - StartedMs_ > 1500) {
            Socket_->abort(); // gone without a word
        }
    }
    int Cycles = 0;
    int Errors = 0; // Error messages received

private:
    void Connect() {
        Socket_ = std::make_unique<QTcpSocket>();
        Socket_->bind(QHostAddress(QString::fromStdString(Source_)), 0);
        Activated_ = false;
        StartedMs_ = NextConnectMs_ = 0;
        Buffer_.clear();
        RequestId_ = 1;
        Token_ = {};
        QObject::connect(Socket_.get(), &QTcpSocket::readyRead, [this] { Received(); });
        QObject::connect(Socket_.get(), &QTcpSocket::disconnected, [this] { ++Cycles; });
        Socket_->connectToHost(QHostAddress::LocalHost, Port_);
    }
    void Send(const std::string& bytes) { Socket_->write(bytes.data(), static_cast<qint64>(bytes.size())); }
    template <typename F> void Request(std::uint32_t typeId, F fill) {
        ++RequestId_;
        Send(MessageFrame("MSGF", ChannelId_, 1, RequestId_, RequestId_,
                          RequestBody(typeId, Token_, RequestId_, fill)));
    }
    void Begin() {
        if (Kind_ == TKind::Garbage) {
            std::string junk(1 + Random_() % 300, '\0');
            for (auto& c : junk) c = static_cast<char>(Random_());
            // Half the time behind a plausible header, so that the frame parser is reached.
            if (Random_() % 2) junk.replace(0, std::min<std::size_t>(4, junk.size()), "MSGF");
            Send(junk);
        } else if (Kind_ != TKind::Silent) {
            Send(HelloFrame(65536, 65536, Kind_ != TKind::TinyLimit ? 0 : Cycles % 2 ? 27 : 28));
        }
    }
    void Received() {
        QByteArray data = Socket_->readAll();
        Buffer_.append(data.constData(), static_cast<std::size_t>(data.size()));
        for (auto& f : TakeFrames(Buffer_)) Frame(f);
    }
    void Frame(const TFrame& f) {
        TUaBinaryReader r(f.Body);
        if (f.Type == "ERRF") {
            ++Errors;
            if (const TUaStatusCode code = r.StatusCode();
                Kind_ == TKind::TinyLimit && code != UaStatus::BadTcpNotEnoughResources)
                Faults_.push_back("tiny limit: unexpected error " + std::to_string(code));
        } else if (f.Type == "ACKF") {
            if (Kind_ != TKind::HelloOnly) Send(OpenFrame(0, 1, 1));
        } else if (f.Type == "OPNF") {
            ChannelId_ = r.UInt32();
            if (Kind_ == TKind::HalfMessage) {
                Send(MessageFrame("MSGC", ChannelId_, 1, 2, 9, "begun"));
                Send(MessageFrame("MSGF", ChannelId_, 1, 3, 9, std::string(200, 'x')).substr(0, 60));
            } else if (Kind_ == TKind::TinyLimit) {
                Request(UaId::GetEndpointsRequest, [](TUaBinaryWriter& w) {
                    for (int i = 0; i < 3; ++i) w.Int32(-1);
                });
            } else {
                for (int i = 0; i < (Kind_ == TKind::SessionHog ? 6 : 1); ++i)
                    Request(UaId::CreateSessionRequest, [&](TUaBinaryWriter& w) {
                        soak::WriteCreateSession(w, "Hostile " + Source_, 60000);
                    });
            }
        } else {
            std::string payload = MessagePayload(f);
            TUaBinaryReader m(payload);
            const TResponseStart start = ReadResponseStart(m);
            if (Kind_ == TKind::TinyLimit && start.ServiceResult != UaStatus::BadResponseTooLarge)
                Faults_.push_back("tiny limit: GetEndpoints not refused Bad_ResponseTooLarge");
            if (start.ServiceResult || (Kind_ != TKind::Vanisher && Kind_ != TKind::SubscriptionHog)) return;
            if (start.TypeId == UaId::CreateSessionResponse) {
                m.NodeId();
                Token_ = m.NodeId();
                Request(UaId::ActivateSessionRequest,
                        [](TUaBinaryWriter& w) { soak::WriteActivateSession(w, false); });
            } else if (start.TypeId == UaId::ActivateSessionResponse) {
                Activated_ = true;
                for (int i = 0; i < (Kind_ == TKind::SubscriptionHog ? 25 : 1); ++i)
                    Request(UaId::CreateSubscriptionRequest,
                            [](TUaBinaryWriter& w) { soak::WriteCreateSubscription(w, 100, 100, 10); });
            }
        }
    }

    TKind Kind_;
    std::string Source_;
    std::uint16_t Port_;
    std::mt19937& Random_;
    std::vector<std::string>& Faults_;
    std::unique_ptr<QTcpSocket> Socket_;
    std::string Buffer_;
    bool Activated_ = false;
    std::int64_t StartedMs_ = 0;
    std::int64_t NextConnectMs_ = 0;
    std::uint32_t ChannelId_ = 0;
    std::uint32_t RequestId_ = 1;
    TUaNodeId Token_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int duration = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--duration") duration = std::max(10, std::atoi(argv[i + 1]));

    TQtClock clock;
    TQtEventLoop loop;
    TQtTimerFactory timers;
    TServerContext context;
    context.Clock = &clock;
    context.Loop = &loop;
    context.Timers = &timers;
    TSessionLog log(context.Settings, clock, "/nonexistent-dravon-soak/");
    soak::TLogRecorder lines;
    log.AddView(&lines);
    context.Log = &log;

    soak::TSoakLedger ledger;
    soak::TSoakCounters counters;
    std::mt19937 random(20261207);
    TUaConfig config;
    config.MaxSessions = 20;
    config.MaxSubscriptionsPerSession = 5;
    config.HandshakeTimeoutMs = 2000;
    config.MessageTimeoutMs = 3000;
    config.UnactivatedSessionTimeoutMs = 2000;
    config.SessionTimeoutMs = 5000;
    config.MaxChannelsPerAddress = 6;
    soak::TSoakUaEndpoint endpoint(context, ledger, 12, config);
    const std::uint16_t port = endpoint.Port();
    if (!port) {
        std::cout << "ua-hostile: cannot listen on 127.0.0.1\n";
        return 1;
    }

    soak::TSoakEnv env{nullptr, &clock, &ledger, &counters, &random, false, 5000, 0};
    std::vector<std::unique_ptr<soak::TSoakUaClient>> honest;
    for (int c = 0; c < 3; ++c) {
        std::vector<int> own{4 * c, 4 * c + 1, 4 * c + 2, 4 * c + 3};
        // Each watches only its own words: a change is in the ledger before anyone sees it.
        honest.push_back(std::make_unique<soak::TSoakUaClient>(env, "Honest" + std::to_string(c + 1), port,
                                                               own, own, 100 + 100 * c, 10000));
        honest.back()->Connect();
    }

    std::vector<std::string> faults;
    std::vector<std::unique_ptr<THostile>> hostile;
    using K = THostile::TKind;
    // Eight sources, each with a few connections of one kind (more than its share for some).
    const std::vector<std::pair<K, int>> plan = {
        {K::Garbage, 3},    {K::Silent, 8},          {K::HelloOnly, 4}, {K::HalfMessage, 4},
        {K::SessionHog, 3}, {K::SubscriptionHog, 2}, {K::Vanisher, 3},  {K::TinyLimit, 2}};
    for (std::size_t s = 0; s < plan.size(); ++s)
        for (int i = 0; i < plan[s].second; ++i)
            hostile.push_back(std::make_unique<THostile>(plan[s].first, "127.0.0." + std::to_string(s + 2),
                                                         port, random, faults));

    QElapsedTimer elapsed;
    elapsed.start();
    long warmRss = 0, peakRss = 0;
    std::uint64_t notificationsAtWarm = 0;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        const std::int64_t now = elapsed.elapsed();
        for (auto& h : honest) {
            h->Step();
            h->CheckOverdue();
        }
        for (auto& h : hostile) h->Step(now);
        if (!warmRss && now > duration * 1000 / 4) {
            warmRss = soak::ReadMemory().Rss;
            notificationsAtWarm = counters.UaNotifications;
        }
        peakRss = std::max(peakRss, soak::ReadMemory().Rss);
        if (now > duration * 1000) app.quit();
    });
    driver.start(20);
    app.exec();
    driver.stop();

    const long endRss = soak::ReadMemory().Rss;
    std::vector<soak::TSoakActivity> activity;
    soak::Spin(
        [&] { return std::all_of(honest.begin(), honest.end(), [](auto& h) { return !h->Outstanding(); }); },
        5000);
    for (auto& h : honest) {
        if (!h->Ready()) faults.push_back("an honest client is no longer connected");
        std::string why;
        if (!h->Settled(&why, false)) faults.push_back(why);
        activity.push_back(h->Activity);
    }
    for (const auto& f : counters.Faults) faults.push_back(f);
    for (const auto& f : ledger.Check([&](int index) { return endpoint.Held(ledger.ItemId(index)); }))
        faults.push_back(f);
    for (const auto& f : soak::CheckActivity(activity, static_cast<std::uint32_t>(duration)))
        faults.push_back(f);
    if (counters.UaNotifications - notificationsAtWarm < static_cast<std::uint64_t>(duration))
        faults.push_back("honest clients received too few notifications after the warm-up");
    if (warmRss && endRss > warmRss + warmRss / 10)
        faults.push_back("resident memory grew from " + std::to_string(warmRss) + " kB to " +
                         std::to_string(endRss) + " kB");
    for (const char* part : {"OPC UA error ", "OPC UA connection from 127.0.0.3 timed out", "refused: ",
                             "Bad_TooManySessions", "Bad_TooManySubscriptions", "closed: not activated",
                             "OPC UA connection from 127.0.0.5 timed out: Message not completed"})
        if (!lines.Containing(part))
            faults.push_back(std::string("no session-log line with \"") + part + "\"");
    // The endpoint's own lines (the server objects' client lines come on top).
    const std::size_t minutes = static_cast<std::size_t>(duration + 59) / 60;
    const std::size_t endpointLines = static_cast<std::size_t>(lines.Containing("OPC UA "));
    if (endpointLines > (TUaEventLog::MaxLinesPerWindow + 1) * (minutes + 1))
        faults.push_back("the endpoint wrote " + std::to_string(endpointLines) + " session-log lines");

    int cycles = 0, errors = 0;
    for (auto& h : hostile) {
        cycles += h->Cycles;
        errors += h->Errors;
    }
    std::cout << "ua-hostile: " << duration << " s, " << hostile.size() << " hostile connections (" << cycles
              << " dropped, " << errors << " Error messages), honest: " << counters.UaWritesGood
              << " writes, " << counters.UaNotifications << " notifications, " << counters.UaPublishes
              << " publishes\n"
              << "ua-hostile: RSS after warm-up " << warmRss << " kB, at end " << endRss << " kB, peak "
              << peakRss << " kB; session log " << lines.Total << " lines\n";
    for (const auto& l : lines.Lines)
        if (l.rfind("OPC UA ", 0) == 0) std::cout << "  log: " << l << "\n";
    for (const auto& f : faults) std::cout << "FAULT: " << f << "\n";
    hostile.clear();
    honest.clear();
    return faults.empty() ? 0 : 1;
}
