// The endpoint under clients that try to exhaust it, with raw UA frames over in-memory
// connections and the manual clock: connection limits, time-outs of every channel state,
// sessions never activated, and the session-log lines that tell the operator.
#include "UaTestClient.h"
#include "support/TestContext.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaServer.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

using namespace dravon;
using namespace dravon::test;

namespace {

class UaEndpointLimitsTest : public ::testing::Test {
protected:
    void Start() {
        Backend = std::make_unique<TUaMemoryBackend>(Ctx.Context);
        Server = std::make_unique<TUaServer>(Ctx.Context, *Backend, Config);
    }
    void TearDown() override {
        Clients.clear();
        Server.reset();
    }
    TRawUaClient& Connect(const std::string& peer = "127.0.0.1") {
        Clients.push_back(std::make_unique<TRawUaClient>(
            [this](std::unique_ptr<IUaSocket> s) { Server->Accept(std::move(s)); }, peer));
        return *Clients.back();
    }
    void Advance(std::uint32_t ms) { Ctx.Platform.Advance(ms); }
    std::vector<TResponseStart> Call(TRawUaClient& c, std::uint32_t typeId) {
        if (typeId == UaId::CreateSessionRequest)
            c.CreateSession();
        else if (typeId == UaId::ActivateSessionRequest)
            c.Activate(c.LastCreatedToken);
        else if (typeId == UaId::CreateSubscriptionRequest)
            c.CreateSubscription();
        else if (typeId == UaId::ReadRequest)
            c.Request(typeId, [](TUaBinaryWriter& w) {
                w.Double(0);
                w.UInt32(0);
                w.EmptyArray();
            });
        else // GetEndpoints
            c.Request(typeId, [](TUaBinaryWriter& w) {
                w.Int32(-1);
                w.Int32(-1);
                w.Int32(-1);
            });
        Ctx.Platform.RunPosted();
        return c.Responses();
    }
    TUaStatusCode Result(TRawUaClient& c, std::uint32_t typeId) {
        auto responses = Call(c, typeId);
        EXPECT_EQ(responses.size(), 1u);
        return responses.empty() ? UaStatus::Bad : responses[0].ServiceResult;
    }
    int Lines(const std::string& start) const { return Ctx.Capture.CountStartingWith(start); }

    TTestContext Ctx;
    TUaConfig Config;
    std::unique_ptr<TUaMemoryBackend> Backend;
    std::unique_ptr<TUaServer> Server;
    std::vector<std::unique_ptr<TRawUaClient>> Clients;
};

TEST_F(UaEndpointLimitsTest, ConnectionsBeyondALimitAreRefusedTooBusyAndLogged) {
    struct TCase {
        const char* Name;
        std::uint32_t MaxSessions, PerAddress;
        std::vector<std::string> Accepted;
        std::string Refused, Line;
    };
    std::vector<std::string> twelve;
    for (int i = 0; i < 12; ++i) twelve.push_back("10.0.0." + std::to_string(i + 1));
    const TCase cases[] = {
        {"every channel taken", 2, 20, twelve, "10.0.0.99",
         "OPC UA connection from 10.0.0.99 refused: 12 connections open (the most)"},
        {"one address's share taken",
         50,
         3,
         {"10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.1"},
         "10.0.0.1",
         "OPC UA connection from 10.0.0.1 refused: 3 connections open from this address (the most)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Clients.clear();
        Config.MaxSessions = c.MaxSessions;
        Config.MaxChannelsPerAddress = c.PerAddress;
        Start();
        for (const auto& peer : c.Accepted) EXPECT_TRUE(Connect(peer).Open());
        for (int i = 0; i < 3; ++i) {
            TRawUaClient& refused = Connect(c.Refused);
            auto frames = refused.Frames();
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].Type, "ERRF");
            EXPECT_EQ(ErrorCode(frames[0]), UaStatus::BadTcpServerTooBusy);
            EXPECT_TRUE(refused.Closed());
        }
        EXPECT_EQ(Server->ChannelCount(), c.Accepted.size());
        // Three refusals of one peer, one line.
        EXPECT_EQ(Lines(c.Line), 1);
    }
}

TEST_F(UaEndpointLimitsTest, StalledConnectionsTimeOutAndLetNewClientsIn) {
    Config.MaxChannelsPerAddress = 100;
    Start();
    // 60 connections in three stalled states fill every channel.
    for (int i = 0; i < 60; ++i) {
        TRawUaClient& c = Connect();
        if (i % 3 == 1) c.Send(HelloFrame());
        if (i % 3 == 2) {
            ASSERT_TRUE(c.Open());
            c.Send(MessageFrame("MSGC", c.ChannelId, 1, 2, 2, "begun"));
        }
    }
    EXPECT_FALSE(Connect().Open());
    Advance(Config.HandshakeTimeoutMs);
    EXPECT_EQ(Server->ChannelCount(), 20u);
    EXPECT_TRUE(Connect().Open());
    Advance(Config.MessageTimeoutMs);
    EXPECT_EQ(Server->ChannelCount(), 1u);
    int timedOut = 0;
    for (auto& c : Clients) {
        for (auto& f : c->Frames())
            if (f.Type == "ERRF" && ErrorCode(f) == UaStatus::BadTimeout) ++timedOut;
    }
    EXPECT_EQ(timedOut, 60);
    // One line per kind and peer: the rest are counted, not written.
    EXPECT_EQ(Lines("OPC UA connection from 127.0.0.1 timed out: "), 1);
    EXPECT_EQ(Lines("OPC UA connection from 127.0.0.1 refused: "), 1);
    // An open channel that never gets a session goes after the session time-out.
    Advance(Config.SessionTimeoutMs);
    EXPECT_EQ(Server->ChannelCount(), 0u);
}

TEST_F(UaEndpointLimitsTest, SessionsNotActivatedHoldNoClientAndExpire) {
    Config.MaxSessions = 6;
    Start();
    TRawUaClient& hog = Connect();
    ASSERT_TRUE(hog.Open());
    for (std::uint32_t i = 0; i < TUaConfig::MaxPendingSessionsPerChannel; ++i)
        EXPECT_EQ(Result(hog, UaId::CreateSessionRequest), UaStatus::Good);
    // A few at a time per channel.
    EXPECT_EQ(Result(hog, UaId::CreateSessionRequest), UaStatus::BadTooManySessions);
    EXPECT_EQ(Lines("OPC UA session for 127.0.0.1 refused: Bad_TooManySessions (4 sessions of its channel"),
              1);
    EXPECT_EQ(Backend->SessionCount, 0);
    EXPECT_EQ(Server->SessionCount(), 4u);

    TRawUaClient& honest = Connect("10.0.0.2");
    ASSERT_TRUE(honest.Open());
    EXPECT_EQ(Result(honest, UaId::CreateSessionRequest), UaStatus::Good);
    EXPECT_EQ(Result(honest, UaId::ActivateSessionRequest), UaStatus::Good);
    EXPECT_EQ(Backend->SessionCount, 1);

    Advance(Config.UnactivatedSessionTimeoutMs);
    EXPECT_EQ(Server->SessionCount(), 1u);
    EXPECT_EQ(Lines("OPC UA session Raw 127.0.0.1 of 127.0.0.1 closed: not activated in time"), 1);
    EXPECT_EQ(Result(honest, UaId::ReadRequest), UaStatus::BadNothingToDo);
}

TEST_F(UaEndpointLimitsTest, NewSessionTakesTheSlotOfOneNeverActivated) {
    Config.MaxSessions = 3;
    Start();
    std::vector<TRawUaClient*> hogs;
    for (int i = 0; i < 3; ++i) {
        hogs.push_back(&Connect("10.0.0." + std::to_string(i + 1)));
        ASSERT_TRUE(hogs.back()->Open());
        EXPECT_EQ(Result(*hogs.back(), UaId::CreateSessionRequest), UaStatus::Good);
    }
    TRawUaClient& late = Connect("10.0.0.9");
    ASSERT_TRUE(late.Open());
    EXPECT_EQ(Result(late, UaId::CreateSessionRequest), UaStatus::Good);
    EXPECT_EQ(Result(late, UaId::ActivateSessionRequest), UaStatus::Good);
    EXPECT_EQ(Lines("OPC UA session Raw 10.0.0.1 of 10.0.0.1 closed: not activated, its slot was needed"), 1);
    // The oldest one gave way; the others are still there.
    EXPECT_EQ(Result(*hogs[0], UaId::ActivateSessionRequest), UaStatus::BadSessionIdInvalid);
    EXPECT_EQ(Result(*hogs[1], UaId::ActivateSessionRequest), UaStatus::Good);
    EXPECT_EQ(Result(*hogs[2], UaId::ActivateSessionRequest), UaStatus::Good);
    // Every slot held by an activated session: refused.
    EXPECT_EQ(Result(*hogs[0], UaId::CreateSessionRequest), UaStatus::BadTooManySessions);
    EXPECT_EQ(Lines("OPC UA session for 10.0.0.1 refused: Bad_TooManySessions (3 sessions open)"), 1);
}

TEST_F(UaEndpointLimitsTest, RefusalsAndErrorsAreLoggedWithTheirStatusNames) {
    struct TCase {
        const char* Name;
        std::function<void(TRawUaClient&)> Feed;
        std::string Line;
    };
    const TCase cases[] = {
        {"garbage", [](TRawUaClient& c) { c.Send("GET / HTTP/1.1\r\n\r\n"); },
         "OPC UA error Bad_TcpMessageTypeInvalid sent to 10.0.0.1: Unknown message type"},
        {"message limit below a fault", [](TRawUaClient& c) { c.Send(HelloFrame(65536, 65536, 20)); },
         "OPC UA error Bad_TcpNotEnoughResources sent to 10.0.0.2: MaxMessageSize cannot hold a "
         "ServiceFault"},
        {"too many subscriptions",
         [this](TRawUaClient& c) {
             c.Open();
             Call(c, UaId::CreateSessionRequest);
             Call(c, UaId::ActivateSessionRequest);
             Call(c, UaId::CreateSubscriptionRequest);
             EXPECT_EQ(Result(c, UaId::CreateSubscriptionRequest), UaStatus::BadTooManySubscriptions);
         },
         "OPC UA subscription for 10.0.0.3 refused: Bad_TooManySubscriptions (1 in session Raw 10.0.0.3)"},
    };
    Config.MaxSubscriptionsPerSession = 1;
    Start();
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRawUaClient& client = Connect("10.0.0." + std::to_string(++n));
        c.Feed(client);
        Ctx.Platform.RunPosted();
        EXPECT_EQ(Lines(c.Line), 1);
    }
}

TEST_F(UaEndpointLimitsTest, SmallestMessageLimitGetsAFaultNotACrash) {
    Start();
    TRawUaClient& c = Connect();
    ASSERT_TRUE(c.Open(28));
    auto responses = Call(c, UaId::GetEndpointsRequest);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].TypeId, UaId::ServiceFault);
    EXPECT_EQ(responses[0].ServiceResult, UaStatus::BadResponseTooLarge);
}

TEST(UaEventLog, OneLinePerKindAndPeerAMinuteAndABoundOverall) {
    TTestContext ctx;
    TUaEventLog events(ctx.Context.Log, ctx.Platform.Clock);
    for (int i = 0; i < 100; ++i) events.Note("refused", "10.0.0.1", "line a");
    events.Note("timeout", "10.0.0.1", "line b");
    events.Note("refused", "10.0.0.2", "line c");
    EXPECT_EQ(ctx.Capture.Lines, (std::vector<std::string>{"line a", "line b", "line c"}));
    ctx.Platform.Clock.Step(TUaEventLog::WindowMs);
    events.Note("refused", "10.0.0.1", "line a");
    EXPECT_EQ(ctx.Capture.Lines.back(), "line a (99 more like it in the last minute)");

    // Many peers: at most MaxLinesPerWindow lines a minute, then a count of the rest.
    ctx.Capture.Lines.clear();
    ctx.Platform.Clock.Step(TUaEventLog::WindowMs);
    for (int i = 0; i < 100; ++i) events.Note("refused", "10.1.0." + std::to_string(i), "peer");
    EXPECT_EQ(ctx.Capture.Lines.size(), TUaEventLog::MaxLinesPerWindow);
    ctx.Platform.Clock.Step(TUaEventLog::WindowMs);
    events.Housekeeping();
    EXPECT_EQ(ctx.Capture.Lines.back(), "OPC UA: 60 further events in the last minute not logged");
}

} // namespace
