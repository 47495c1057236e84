// The endpoint's services and limits end to end over in-memory connections to the memory
// backend, with the manual clock driving publishing intervals, keep-alives, lifetimes,
// session and channel time-outs, and the session-log lines that tell the operator.
#include "ua/UaServer.h"
#include "UaTestClient.h"
#include "support/TestContext.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

using namespace dravon;
using namespace dravon::test;

namespace {

TUaVariant Word(std::uint16_t v) { return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{v}); }
const auto EmptyRead = [](TUaBinaryWriter& w) {
    w.Double(0);
    w.UInt32(0);
    w.EmptyArray();
};
const std::pair<TUaStatusCode, TUaStatusCode> Opened{UaStatus::Good, UaStatus::Good};

class UaServerTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }
    // A new server with the current Config: PLC1/WR/WR0010..WR0015 (value = last digit)
    // and Sys.ServerUpTime.
    void Start() {
        Clients.clear();
        Server.reset(); // the server's sessions hold server objects of the backend
        Backend = std::make_unique<TUaMemoryBackend>(Ctx.Context);
        std::string wr = Backend->AddFolder(Backend->AddFolder("/", "PLC1"), "WR");
        for (int i = 0; i < 6; ++i) {
            std::string id = "PLC1.WR001" + std::to_string(i);
            Backend->AddVariable(wr, id, id.substr(5), Word(static_cast<std::uint16_t>(i)), true);
        }
        Backend->AddVariable("/", "Sys.ServerUpTime", "ServerUpTime",
                             TUaVariant::Scalar(TUaType::String, std::string("0:00:01")), false);
        Server = std::make_unique<TUaServer>(Ctx.Context, *Backend, Config);
    }
    void TearDown() override {
        Clients.clear();
        Server.reset();
    }
    TRawUaClient& Connect(const std::string& peer = "127.0.0.1") {
        Clients.push_back(std::make_unique<TRawUaClient>(
            [this](std::unique_ptr<IUaSocket> s) { Server->Accept(std::move(s)); }, peer,
            [this] { Ctx.Platform.RunPosted(); }));
        return *Clients.back();
    }
    // A client with an activated session named "Test session".
    TRawUaClient& Session(double timeoutMs = 60000) {
        TRawUaClient& c = Connect();
        c.SessionName = "Test session";
        EXPECT_EQ(c.OpenSession(timeoutMs), Opened);
        return c;
    }
    // The one response to a request.
    template <typename F> TResponseStart Answer(TRawUaClient& c, std::uint32_t typeId, F fill) {
        c.Request(typeId, fill);
        Ctx.Platform.RunPosted();
        auto responses = c.Responses();
        EXPECT_EQ(responses.size(), 1u);
        return responses.empty() ? TResponseStart{} : responses[0];
    }
    int Lines(const std::string& start) const { return Ctx.Capture.CountStartingWith(start); }

    struct TPublished {
        std::uint32_t Subscription = 0;
        std::uint32_t Sequence = 0;
        std::vector<std::tuple<std::uint32_t, std::optional<TUaVariant>, TUaStatusCode>>
            Changes; // handle, value
        bool KeepAlive = false;
        std::vector<TUaStatusCode> AckResults;
        bool More = false;
        TUaStatusCode StatusChange = 0;
        bool operator==(const TPublished&) const = default;
    };
    // The one Publish response written since the last call.
    static TPublished Published(TRawUaClient& c) {
        TPublished p;
        auto frames = c.Frames();
        EXPECT_EQ(frames.size(), 1u);
        if (frames.empty()) return p;
        const std::string payload = MessagePayload(frames[0]);
        TUaBinaryReader r(payload);
        if (ReadResponseStart(r).TypeId != UaId::PublishResponse) return p;
        p.Subscription = r.UInt32();
        r.Array([&] { return r.UInt32(); });
        p.More = r.Boolean();
        p.Sequence = r.UInt32();
        r.DateTime();
        auto data = r.Array([&] { return r.ExtensionObject(); });
        p.KeepAlive = data.empty();
        for (const auto& e : data) {
            TUaBinaryReader body(e.Body);
            if (e.TypeId.IsNum(UaId::StatusChangeNotification)) {
                p.StatusChange = body.StatusCode();
                body.DiagnosticInfo();
                EXPECT_TRUE(body.AtEnd());
                continue;
            }
            EXPECT_TRUE(e.TypeId.IsNum(UaId::DataChangeNotification));
            body.Array([&] {
                const std::uint32_t handle = body.UInt32();
                const TUaDataValue dv = body.DataValue();
                EXPECT_TRUE(dv.SourceTimestamp && dv.ServerTimestamp); // both asked for
                p.Changes.emplace_back(handle, dv.Value, dv.Status.value_or(0));
                return handle;
            });
        }
        p.AckResults = r.Array([&] { return r.StatusCode(); });
        r.Array([&] { return r.DiagnosticInfo(); });
        EXPECT_TRUE(r.AtEnd());
        return p;
    }
    static void Publish(TRawUaClient& c, std::vector<std::pair<std::uint32_t, std::uint32_t>> acks = {}) {
        c.Request(UaId::PublishRequest, [&](TUaBinaryWriter& w) {
            w.Array(acks, [&](auto ack) { UInt32s(w, {ack.first, ack.second}); });
        });
    }

    TTestContext Ctx;
    TUaConfig Config;
    std::unique_ptr<TUaMemoryBackend> Backend;
    std::unique_ptr<TUaServer> Server;
    std::vector<std::unique_ptr<TRawUaClient>> Clients;
};

TEST_F(UaServerTest, ServicesNeedAnActivatedSessionUnknownOnesGetAFaultMalformedOnesCloseTheChannel) {
    TRawUaClient& c = Connect();
    ASSERT_TRUE(c.Open());
    const auto noSession = Answer(c, UaId::ReadRequest, EmptyRead);
    EXPECT_EQ(noSession, (TResponseStart{UaId::ServiceFault, c.RequestId, UaStatus::BadSessionIdInvalid}));
    // GetEndpoints needs no session; without an endpoint URL it names the server's own.
    const auto endpoints = Answer(c, UaId::GetEndpointsRequest, [](TUaBinaryWriter& w) {
        for (int i = 0; i < 3; ++i) w.Int32(-1);
    });
    EXPECT_EQ(endpoints, (TResponseStart{UaId::GetEndpointsResponse, c.RequestId, 0}));
    ASSERT_EQ(c.OpenSession(), Opened);
    const auto unknown = Answer(c, 9999, [](TUaBinaryWriter&) {});
    EXPECT_EQ(unknown, (TResponseStart{UaId::ServiceFault, c.RequestId, UaStatus::BadServiceUnsupported}));
    EXPECT_FALSE(c.Closed());
    // Another channel may neither use the session nor close it.
    TRawUaClient& other = Connect();
    ASSERT_TRUE(other.Open());
    other.Token = c.Token;
    EXPECT_EQ(Answer(other, UaId::ReadRequest, EmptyRead).ServiceResult, UaStatus::BadSecureChannelIdInvalid);
    EXPECT_EQ(
        Answer(other, UaId::CloseSessionRequest, [](TUaBinaryWriter& w) { w.Boolean(true); }).ServiceResult,
        UaStatus::BadSecureChannelIdInvalid);
    // A body that cannot be decoded closes the channel.
    c.Request(UaId::ReadRequest, [](TUaBinaryWriter& w) {
        w.Double(0);
        UInt32s(w, {0, 1000000}); // far more entries than bytes
    });
    EXPECT_EQ(c.Responses(), (std::vector<TResponseStart>{{0, 0, UaStatus::BadDecodingError}}));
    EXPECT_TRUE(c.Closed());
    Ctx.Platform.RunPosted();
    EXPECT_EQ(Server->ChannelCount(), 1u); // the other client's
    // The session outlives its channel until its time-out.
    EXPECT_EQ(Server->SessionCount(), 1u);
}

TEST_F(UaServerTest, ReadsValuesAttributesAndStandardNodesAndWritesConvertedToTheVariablesType) {
    TRawUaClient& c = Session();
    const TUaNodeId wr13 = TUaNodeId::Str("PLC1.WR0013");
    // clang-format off
    auto values = c.Read({{wr13, 13}, {wr13, 14}, {wr13, 3}, {TUaNodeId::Str("/PLC1"), 13}, {wr13, 12},
                          {TUaNodeId::Str("PLC9.WR0000"), 13}, {TUaNodeId::Num(UaId::NamespaceArray), 13},
                          {TUaNodeId::Num(UaId::MaxNodesPerRead), 13}});
    // clang-format on
    ASSERT_EQ(values.size(), 8u);
    EXPECT_EQ(std::get<std::uint64_t>(values[0].Value->Values.at(0)), 3u);
    EXPECT_TRUE(values[0].SourceTimestamp && values[0].ServerTimestamp);
    EXPECT_EQ(std::get<TUaNodeId>(values[1].Value->Values.at(0)), TUaNodeId::Num(UaId::UInt16));
    EXPECT_EQ(std::get<TUaQualifiedName>(values[2].Value->Values.at(0)).Name, "WR0013");
    EXPECT_EQ(std::pair(*values[3].Status, *values[4].Status),
              std::pair(UaStatus::BadAttributeIdInvalid, UaStatus::BadAttributeIdInvalid)); // EventNotifier
    EXPECT_EQ(*values[5].Status, UaStatus::BadNodeIdUnknown);
    EXPECT_EQ(std::get<std::string>(values[6].Value->Values.at(1)), "urn:Norvane:Dravon:Items");
    EXPECT_EQ(std::get<std::uint64_t>(values[7].Value->Values.at(0)), TUaServer::MaxOperationsPerRequest);

    const struct {
        const char* Id;
        TUaVariant Value;
        TUaStatusCode Expected;
    } rows[] = {
        {"PLC1.WR0011", TUaVariant::Scalar(TUaType::Int32, std::int64_t{500}), 0},
        {"PLC1.WR0011", TUaVariant::Scalar(TUaType::Int32, std::int64_t{-1}), UaStatus::BadTypeMismatch},
        {"PLC1.WR0012", TUaVariant::Scalar(TUaType::Int32, std::int64_t{70000}), UaStatus::BadTypeMismatch},
        {"PLC1.WR0012", TUaVariant::Scalar(TUaType::String, std::string("abc")), UaStatus::BadTypeMismatch},
        {"Sys.ServerUpTime", TUaVariant::Scalar(TUaType::String, std::string("x")), UaStatus::BadNotWritable},
        {"PLC7.WR0000", Word(1), UaStatus::BadNodeIdUnknown},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Id);
        EXPECT_EQ(c.Write(row.Id, row.Value), row.Expected);
    }
    EXPECT_EQ(std::get<std::uint64_t>(Backend->Find("PLC1.WR0011")->Value.Value.Values.at(0)), 500u);
}

TEST_F(UaServerTest, SubscriptionPublishesChangesKeepAlivesAndRetransmits) {
    TRawUaClient& c = Session();
    TRawUaClient::TRevised revised;
    std::uint32_t sub = c.CreateSubscription(110, 30, 3, &revised);
    EXPECT_EQ(revised, std::tuple(125.0, 30u, 3u)); // the group rule: multiples of 25 ms
    EXPECT_EQ(c.Monitor(sub, "PLC1.WR0012", 42), 0u);
    EXPECT_EQ(c.Monitor(sub, "PLC9.WR0000", 43), UaStatus::BadNodeIdUnknown);

    // The first cycle carries the current value.
    Publish(c);
    Ctx.Platform.Advance(125);
    EXPECT_EQ(Published(c), (TPublished{sub, 1, {{42, Word(2), 0}}, false, {}}));

    // A change of the quality alone goes out in the next interval; the acknowledgement is answered.
    Backend->SetValue("PLC1.WR0012", Word(2), UaStatus::UncertainLastUsableValue);
    Publish(c, {{sub, 1}});
    Ctx.Platform.Advance(125);
    EXPECT_EQ(Published(c),
              (TPublished{sub, 2, {{42, Word(2), UaStatus::UncertainLastUsableValue}}, false, {0}}));

    // Nothing changes: a keep-alive after three intervals, with the next sequence number.
    Publish(c, {{sub, 1}});
    Ctx.Platform.Advance(2 * 125);
    EXPECT_TRUE(c.Frames().empty());
    Ctx.Platform.Advance(125);
    EXPECT_EQ(Published(c), (TPublished{sub, 3, {}, true, {UaStatus::BadSequenceNumberUnknown}}));

    // Message 2 was never acknowledged: it can be sent again; message 1 cannot.
    auto republish = [&](std::uint32_t sequence) {
        return Answer(c, UaId::RepublishRequest, [&](TUaBinaryWriter& w) { UInt32s(w, {sub, sequence}); });
    };
    EXPECT_EQ(republish(2).TypeId, UaId::RepublishResponse);
    EXPECT_EQ(republish(1).ServiceResult, UaStatus::BadMessageNotAvailable);
    // The 32 newest messages not acknowledged are kept: 32 more (3 to 34) push 2 out.
    for (std::uint16_t v = 100; v < 132; ++v) {
        Backend->SetValue("PLC1.WR0012", Word(v), 0);
        Publish(c);
        Ctx.Platform.Advance(125);
        c.Frames();
    }
    EXPECT_EQ(republish(2).ServiceResult, UaStatus::BadMessageNotAvailable);
    EXPECT_EQ(republish(3).TypeId, UaId::RepublishResponse);
}

// Sampled every 100 ms, published every 500 ms: a queue of two keeps the newest two values
// (the oldest kept flagged as overflowed), one of three the oldest two and the newest (that
// one flagged); made smaller, a queue keeps its newest values. Three notifications a message:
// the others go with the next Publish request.
TEST_F(UaServerTest, FullQueuesDiscardTheOldestOrTheNewestAndFlagTheGap) {
    TRawUaClient& c = Session();
    std::uint32_t sub = c.CreateSubscription(500, 30, 3, nullptr, 3);
    EXPECT_EQ(c.Monitor(sub, "PLC1.WR0012", 1, {}, 2, true), 0u);
    EXPECT_EQ(c.Monitor(sub, "PLC1.WR0012", 2, {}, 3, false), 0u);
    EXPECT_EQ(c.Monitor(sub, "PLC1.WR0012", 3), 0u);
    Publish(c);
    for (std::uint16_t v : {20, 21, 22, 23}) {
        Ctx.Platform.Advance(100);
        Backend->SetValue("PLC1.WR0012", Word(v), 0);
    }
    // Item 3 turned to sampling only: what it had queued is not published.
    c.Request(UaId::SetMonitoringModeRequest, [&](TUaBinaryWriter& w) {
        UInt32s(w, {sub, 1});
        UInt32Array(w, {3});
    });
    EXPECT_EQ(c.Result(), UaStatus::Good);
    Ctx.Platform.Advance(100);
    // 23, set as the interval ends, waits for the next one. 0x480: a DataValue info bit with
    // the overflow bit.
    EXPECT_EQ(
        Published(c),
        (TPublished{sub, 1, {{1, Word(21), 0x480}, {1, Word(22), 0}, {2, Word(2), 0}}, false, {}, true}));
    // Item 2 holds 20, 22 (flagged) and 23: made a queue of two, it keeps 22 and 23.
    c.Request(UaId::ModifyMonitoredItemsRequest, [&](TUaBinaryWriter& w) {
        UInt32s(w, {sub, 2, 1, 2, 2}); // timestamps, one item: id, client handle
        w.Double(100);
        w.ExtensionObject({});
        w.UInt32(2);
        w.Boolean(false);
    });
    EXPECT_EQ(c.Result(), UaStatus::Good);
    Publish(c);
    Ctx.Platform.RunPosted();
    EXPECT_EQ(Published(c),
              (TPublished{sub, 2, {{1, Word(23), 0}, {2, Word(22), 0x480}, {2, Word(23), 0}}, false, {}}));
    // Publish requests of a session whose last subscription goes are answered at once.
    Publish(c);
    const std::uint32_t waiting = c.RequestId;
    c.Request(UaId::DeleteSubscriptionsRequest, [&](TUaBinaryWriter& w) { UInt32Array(w, {sub}); });
    Ctx.Platform.RunPosted();
    EXPECT_EQ(c.Responses(),
              (std::vector<TResponseStart>{{UaId::DeleteSubscriptionsResponse, c.RequestId, 0},
                                           {UaId::ServiceFault, waiting, UaStatus::BadNoSubscription}}));
}

TEST_F(UaServerTest, SubscriptionWithoutPublishRequestsExpires) {
    TRawUaClient& c = Session(1000); // kept open by its requests
    // No keep-alive count asked for: 10; a lifetime of at least three of them: 30 intervals.
    const std::uint32_t sub = c.CreateSubscription(100, 1, 0);
    // Keep the session alive while no Publish request comes.
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(Backend->GroupCount, 1) << i;
        Ctx.Platform.Advance(100);
        c.Read({{TUaNodeId::Str("PLC1.WR0010"), 13}});
    }
    EXPECT_EQ(Backend->GroupCount, 0);
    // The next Publish request learns why, once.
    Publish(c);
    EXPECT_EQ(Published(c), (TPublished{sub, 1, {}, false, {}, false, UaStatus::BadTimeout}));
    Publish(c);
    EXPECT_EQ(c.Result(), UaStatus::BadNoSubscription);
    // The session lasts its whole time-out after its last request, and no longer; a Publish
    // request still waiting then (the first one takes the first keep-alive) is answered
    // Bad_SessionClosed.
    c.CreateSubscription(1000, 90, 30);
    Publish(c);
    Publish(c);
    Ctx.Platform.Advance(1000);
    EXPECT_EQ(Server->SessionCount(), 1u);
    Ctx.Platform.Advance(TUaServer::HousekeepingIntervalMs);
    EXPECT_EQ(Server->SessionCount(), 0u);
    EXPECT_EQ(c.Responses().back(),
              (TResponseStart{UaId::ServiceFault, c.RequestId, UaStatus::BadSessionClosed}));
}

TEST_F(UaServerTest, DataChangeFiltersAreCheckedAgainstTheValueAndPublishRequestsWaitUpToSixteen) {
    Config.MaxMonitoredItemsPerSubscription = 3;
    Start();
    TRawUaClient& c = Session();
    // Intervals within 50 ms .. 1 h, keep-alive counts up to 10000, lifetimes of at least three
    // keep-alives up to 100000.
    for (auto [asked, revised] :
         {std::pair{std::tuple(1e9, 0u, 20000u), std::tuple(3600000.0, 30000u, 10000u)},
          std::pair{std::tuple(10.0, 200000u, 5u), std::tuple(50.0, 100000u, 5u)}}) {
        TRawUaClient::TRevised got;
        EXPECT_NE(c.CreateSubscription(std::get<0>(asked), std::get<1>(asked), std::get<2>(asked), &got), 0u);
        EXPECT_EQ(got, revised);
    }
    std::uint32_t sub = c.CreateSubscription();
    struct TRow {
        const char* Item;
        std::uint32_t Trigger, DeadbandType;
        double Deadband;
        TUaStatusCode Expected;
    } rows[] = {
        {"PLC1.WR0010", 0, 0, 0, 0},
        {"PLC1.WR0010", 1, 2, 100, 0}, // an absolute deadband accepted: client.test.js
        {"PLC1.WR0010", 1, 2, 101, UaStatus::BadDeadbandFilterInvalid},
        {"PLC1.WR0010", 1, 1, -1, UaStatus::BadDeadbandFilterInvalid},
        {"PLC1.WR0010", 3, 0, 0, UaStatus::BadMonitoredItemFilterInvalid},
        {"Sys.ServerUpTime", 1, 1, 1, UaStatus::BadFilterNotAllowed},
        {"/PLC1", 0, 0, 0, UaStatus::BadAttributeIdInvalid},
        {"PLC1.WR0010/EURange", 0, 0, 0, UaStatus::BadNotSupported},
        {"PLC1.WR0011", 0, 0, 0, 0},
        {"PLC1.WR0011", 0, 0, 0, UaStatus::BadTooManyMonitoredItems}, // the fourth of three
    };
    std::uint32_t handle = 1;
    for (const TRow& row : rows) {
        SCOPED_TRACE(handle);
        TUaBinaryWriter filter;
        filter.UInt32(row.Trigger);
        filter.UInt32(row.DeadbandType);
        filter.Double(row.Deadband);
        EXPECT_EQ(
            c.Monitor(sub, row.Item, handle++, {TUaNodeId::Num(UaId::DataChangeFilter), 1, filter.Take()}),
            row.Expected);
    }
    // Service result, then the results of each operation.
    auto results = [&](std::uint32_t type, auto fill) {
        const auto payloads = c.Call(type, fill);
        TUaBinaryReader r(payloads.at(0));
        std::vector<TUaStatusCode> out{ReadResponseStart(r).ServiceResult};
        for (auto s : r.Array([&] { return r.StatusCode(); })) out.push_back(s);
        return out;
    };
    EXPECT_EQ(results(UaId::SetPublishingModeRequest,
                      [&](TUaBinaryWriter& w) {
                          w.Boolean(true);
                          UInt32Array(w, {sub, 999});
                      }),
              (std::vector<TUaStatusCode>{0, 0, UaStatus::BadSubscriptionIdInvalid}));
    EXPECT_EQ(results(UaId::SetTriggeringRequest,
                      [&](TUaBinaryWriter& w) {
                          UInt32s(w, {sub, 999});
                          UInt32Array(w, {1});
                          w.EmptyArray();
                      }),
              std::vector<TUaStatusCode>{UaStatus::BadMonitoredItemIdInvalid});
    // No interval has passed: a seventeenth Publish request answers the first with a fault.
    const std::uint32_t first = c.RequestId + 1;
    for (int i = 0; i < 17; ++i) Publish(c);
    EXPECT_EQ(c.Responses(), (std::vector<TResponseStart>{
                                 {UaId::ServiceFault, first, UaStatus::BadTooManyPublishRequests}}));
}

TEST_F(UaServerTest, ConnectionsFromOneAddressBeyondItsShareAreRefusedTooBusyAndLogged) {
    Config.MaxChannelsPerAddress = 3;
    Start();
    for (const char* peer : {"10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.1"})
        EXPECT_TRUE(Connect(peer).Open());
    for (int i = 0; i < 3; ++i) {
        TRawUaClient& refused = Connect("10.0.0.1");
        const auto frames = refused.Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(std::pair(ErrorCode(frames[0]), ErrorReason(frames[0])),
                  std::pair(UaStatus::BadTcpServerTooBusy, std::string("Too many connections")));
        EXPECT_TRUE(refused.Closed());
    }
    EXPECT_EQ(Server->ChannelCount(), 4u);
    // Three refusals of one peer, one line.
    EXPECT_EQ(
        Lines("OPC UA connection from 10.0.0.1 refused: 3 connections open from this address (the most)"), 1);
}

TEST_F(UaServerTest, StalledConnectionsTimeOutAndLetNewClientsIn) {
    Config.MaxChannelsPerAddress = 100;
    Start();
    // 60 connections in three stalled states fill every channel (the sessions' 50 and 10).
    for (int i = 0; i < 60; ++i) {
        TRawUaClient& c = Connect();
        if (i % 3 == 1) c.Send(HelloFrame());
        if (i % 3 == 2) {
            ASSERT_TRUE(c.Open());
            c.Send(MessageFrame("MSGC", c.ChannelId, 1, 2, 2, "begun"));
        }
    }
    TRawUaClient& refused = Connect();
    EXPECT_EQ(refused.Responses(), (std::vector<TResponseStart>{{0, 0, UaStatus::BadTcpServerTooBusy}}));
    EXPECT_TRUE(refused.Closed());
    Ctx.Platform.Advance(Config.HandshakeTimeoutMs);
    EXPECT_EQ(Server->ChannelCount(), 20u);
    EXPECT_TRUE(Connect().Open());
    Ctx.Platform.Advance(Config.MessageTimeoutMs);
    EXPECT_EQ(Server->ChannelCount(), 1u);
    int timedOut = 0;
    for (auto& c : Clients)
        for (auto& r : c->Responses()) timedOut += r.ServiceResult == UaStatus::BadTimeout;
    EXPECT_EQ(timedOut, 60);
    // One line per kind and peer: the rest are counted, not written.
    EXPECT_EQ(Lines("OPC UA connection from 127.0.0.1 timed out: "), 1);
    EXPECT_EQ(Lines("OPC UA connection from 127.0.0.1 refused: 60 connections open (the most)"), 1);
    // An open channel that never gets a session goes after the session time-out.
    Ctx.Platform.Advance(Config.SessionTimeoutMs);
    EXPECT_EQ(Server->ChannelCount(), 0u);
}

TEST_F(UaServerTest, SessionsNotActivatedHoldNoClientGiveWayAndExpire) {
    Config.MaxSessions = 6;
    Start();
    TRawUaClient& oldest = Connect("10.0.0.1");
    EXPECT_EQ(oldest.OpenSession(60000, false).first, UaStatus::Good);
    TRawUaClient& hog = Connect();
    for (std::uint32_t i = 0; i < TUaConfig::MaxPendingSessionsPerChannel; ++i)
        EXPECT_EQ(hog.OpenSession(60000, false).first, UaStatus::Good);
    // A few at a time per channel.
    EXPECT_EQ(hog.OpenSession(60000, false).first, UaStatus::BadTooManySessions);
    EXPECT_EQ(Lines("OPC UA session for 127.0.0.1 refused: Bad_TooManySessions (4 sessions of its channel"),
              1);
    EXPECT_EQ(std::pair(Backend->SessionCount, Server->SessionCount()), std::pair(0, std::size_t{5}));
    TRawUaClient& honest = Connect("10.0.0.2");
    EXPECT_EQ(honest.OpenSession(), Opened);
    // Every slot taken: the oldest never activated gives way.
    EXPECT_EQ(Connect("10.0.0.3").OpenSession(), Opened);
    EXPECT_EQ(Lines("OPC UA session Raw 10.0.0.1 of 10.0.0.1 closed: not activated, its slot was needed"), 1);
    auto activate = [](TRawUaClient& c) {
        c.Activate(c.LastCreatedToken);
        return c.Result();
    };
    EXPECT_EQ(activate(oldest), UaStatus::BadSessionIdInvalid);
    EXPECT_EQ(activate(hog), UaStatus::Good);
    EXPECT_EQ(Backend->SessionCount, 3);

    Ctx.Platform.Advance(Config.UnactivatedSessionTimeoutMs);
    EXPECT_EQ(Server->SessionCount(), 3u);
    EXPECT_EQ(Lines("OPC UA session Raw 127.0.0.1 of 127.0.0.1 closed: not activated in time"), 1);
    honest.Request(UaId::ReadRequest, EmptyRead);
    EXPECT_EQ(honest.Result(), UaStatus::BadNothingToDo);
    // Every slot held by an activated session: refused, and no server object made for it.
    for (int i = 4; i < 7; ++i) EXPECT_EQ(Connect("10.0.0." + std::to_string(i)).OpenSession(), Opened);
    EXPECT_EQ(oldest.OpenSession(60000, false).first, UaStatus::BadTooManySessions);
    EXPECT_EQ(Lines("OPC UA session for 10.0.0.1 refused: Bad_TooManySessions (6 sessions open)"), 1);
    EXPECT_EQ(Backend->SessionCount, 6);
}

TEST_F(UaServerTest, RefusalsAndErrorsAreLoggedWithTheirStatusNames) {
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
         [](TRawUaClient& c) {
             EXPECT_EQ(c.OpenSession(), Opened);
             EXPECT_NE(c.CreateSubscription(), 0u);
             EXPECT_EQ(c.CreateSubscription(), 0u);
         },
         "OPC UA subscription for 10.0.0.3 refused: Bad_TooManySubscriptions (1 in session Raw 10.0.0.3)"},
    };
    Config.MaxSubscriptionsPerSession = 1;
    Start();
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Feed(Connect("10.0.0." + std::to_string(++n)));
        Ctx.Platform.RunPosted();
        EXPECT_EQ(Lines(c.Line), 1);
    }
    // What the security settings refuse; a None channel still opens, for discovery only. The
    // client's session name reaches the log printable and cut, with its last character whole.
    Config.AnonymousReadOnly = true;
    Start();
    TRawUaClient& viewer = Connect("10.0.0.7");
    viewer.SessionName = "Viewer\n" + std::string(56, 'x') + "\u00e4";
    EXPECT_EQ(viewer.OpenSession(), Opened);
    EXPECT_EQ(viewer.Write("PLC1.WR0010", Word(1)), UaStatus::BadUserAccessDenied);
    Config.AllowAnonymous = false;
    Start();
    EXPECT_EQ(Connect("10.0.0.8").OpenSession(),
              std::pair(UaStatus::Good, UaStatus::BadIdentityTokenRejected));
    Config.AllowSecurityNone = false;
    Start();
    EXPECT_EQ(Connect("10.0.0.9").OpenSession().first, UaStatus::BadSecurityPolicyRejected);
    for (const std::string& line :
         {"OPC UA write from 10.0.0.7 refused: Bad_UserAccessDenied (read-only session Viewer?" +
              std::string(56, 'x') + ")",
          std::string("OPC UA session for 10.0.0.8 refused: Bad_IdentityTokenRejected (user token kind not "
                      "accepted)"),
          std::string("OPC UA session for 10.0.0.9 refused: Bad_SecurityPolicyRejected (security None is for "
                      "discovery only)")})
        EXPECT_EQ(Lines(line), 1) << line;
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
    // That line is one of the new minute's.
    for (int i = 0; i < 100; ++i) events.Note("refused", "10.2.0." + std::to_string(i), "peer");
    EXPECT_EQ(ctx.Capture.Lines.size(), 2 * TUaEventLog::MaxLinesPerWindow);
}

} // namespace
