// Services of the endpoint end to end over an in-memory socket, with the manual clock
// driving publishing intervals, keep-alives, lifetimes and session time-outs.
#include "ua/UaServer.h"
#include "UaTestClient.h"
#include "support/TestContext.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

using namespace dravon;
using namespace dravon::test;

namespace {

TUaVariant Word(std::uint16_t v) { return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{v}); }

class UaServerTest : public ::testing::Test {
protected:
    void SetUp() override { Build(); }

    void Build() {
        Server.reset(); // the server's sessions hold server objects of the backend
        Sequence = 1;
        RequestId = 1;
        AuthToken = {};
        Backend = std::make_unique<TUaMemoryBackend>(Ctx.Context);
        std::string plc = Backend->AddFolder("/", "PLC1");
        std::string wr = Backend->AddFolder(plc, "WR");
        for (int i = 0; i < 6; ++i) {
            std::string id = "PLC1.WR001" + std::to_string(i);
            Backend->AddVariable(wr, id, id.substr(5), Word(static_cast<std::uint16_t>(i)), true);
        }
        Backend->AddVariable("/", "Sys.ServerUpTime", "ServerUpTime",
                             TUaVariant::Scalar(TUaType::String, std::string("0:00:01")), false);
        Server = std::make_unique<TUaServer>(Ctx.Context, *Backend, Config);
        auto socket = std::make_unique<TFakeUaSocket>();
        Socket = socket.get();
        Server->Accept(std::move(socket));
        Send(HelloFrame());
        Send(OpenFrame(0, 1, 1));
        auto frames = TakeFrames(*Socket);
        ASSERT_EQ(frames.size(), 2u);
        TUaBinaryReader r(frames[1].Body);
        ChannelId = r.UInt32();
        Token = 1;
    }

    void Send(const std::string& frame) {
        // The socket hands bytes to the channel the server installed.
        Socket->OnReceived(frame);
    }

    template <typename F> void SendRequest(std::uint32_t typeId, F fill) {
        ++Sequence;
        ++RequestId;
        Send(MessageFrame("MSGF", ChannelId, Token, Sequence, RequestId,
                          RequestBody(typeId, AuthToken, RequestId, fill)));
    }
    // Sends a request and returns the payload of every response that came back.
    template <typename F> std::vector<std::string> Call(std::uint32_t typeId, F fill) {
        SendRequest(typeId, fill);
        Ctx.Platform.RunPosted();
        return Responses();
    }
    std::vector<std::string> Responses() {
        std::vector<std::string> out;
        for (auto& f : TakeFrames(*Socket)) out.push_back(MessagePayload(f));
        return out;
    }

    void OpenSession(double timeout = 60000) {
        auto created = Call(UaId::CreateSessionRequest, [&](TUaBinaryWriter& w) {
            WriteApplicationDescription(w, {});
            w.Int32(-1);
            w.String("opc.tcp://127.0.0.1:4840");
            w.String("Test session");
            w.ByteString(std::string(32, 'n'));
            w.Int32(-1);
            w.Double(timeout);
            w.UInt32(0);
        });
        ASSERT_EQ(created.size(), 1u);
        TUaBinaryReader r(created[0]);
        ASSERT_EQ(ReadResponseStart(r).TypeId, UaId::CreateSessionResponse);
        r.NodeId();
        AuthToken = r.NodeId();
        RevisedTimeout = r.Double();
        auto activated = Call(UaId::ActivateSessionRequest, [&](TUaBinaryWriter& w) {
            w.Int32(-1);
            w.Int32(-1);
            w.EmptyArray();
            w.EmptyArray();
            TUaBinaryWriter token;
            token.String("anonymous");
            w.ExtensionObject({TUaNodeId::Num(UaId::AnonymousIdentityToken), 1, token.Take()});
            w.Int32(-1);
            w.Int32(-1);
        });
        ASSERT_EQ(activated.size(), 1u);
        TUaBinaryReader a(activated[0]);
        auto start = ReadResponseStart(a);
        ASSERT_EQ(start.TypeId, UaId::ActivateSessionResponse);
        ASSERT_EQ(start.ServiceResult, 0u);
    }

    TResponseStart StartOf(const std::string& payload) {
        TUaBinaryReader r(payload);
        return ReadResponseStart(r);
    }

    std::vector<TUaDataValue> Read(const std::vector<std::pair<TUaNodeId, std::uint32_t>>& nodes,
                                   double maxAge = 500) {
        auto responses = Call(UaId::ReadRequest, [&](TUaBinaryWriter& w) {
            w.Double(maxAge);
            w.UInt32(2);
            w.ArrayLength(nodes.size());
            for (const auto& [id, attribute] : nodes) {
                w.NodeId(id);
                w.UInt32(attribute);
                w.Int32(-1);
                w.QualifiedName({});
            }
        });
        if (responses.size() != 1) return {};
        TUaBinaryReader r(responses[0]);
        ReadResponseStart(r);
        return r.Array([&] { return r.DataValue(); });
    }

    std::uint32_t CreateSubscription(double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                                     double* revised = nullptr) {
        auto responses = Call(UaId::CreateSubscriptionRequest, [&](TUaBinaryWriter& w) {
            w.Double(interval);
            w.UInt32(lifetime);
            w.UInt32(keepAlive);
            w.UInt32(0);
            w.Boolean(true);
            w.Byte(0);
        });
        TUaBinaryReader r(responses.at(0));
        EXPECT_EQ(ReadResponseStart(r).ServiceResult, 0u);
        std::uint32_t id = r.UInt32();
        double rev = r.Double();
        if (revised) *revised = rev;
        return id;
    }

    std::vector<TUaStatusCode> Monitor(std::uint32_t subscription, const std::string& itemId,
                                       std::uint32_t handle, const TUaExtensionObject& filter = {}) {
        auto responses = Call(UaId::CreateMonitoredItemsRequest, [&](TUaBinaryWriter& w) {
            w.UInt32(subscription);
            w.UInt32(2);
            w.ArrayLength(1);
            w.NodeId(TUaNodeId::Str(itemId));
            w.UInt32(13);
            w.Int32(-1);
            w.QualifiedName({});
            w.UInt32(2);
            w.UInt32(handle);
            w.Double(100);
            w.ExtensionObject(filter);
            w.UInt32(1);
            w.Boolean(true);
        });
        TUaBinaryReader r(responses.at(0));
        ReadResponseStart(r);
        return r.Array([&] {
            TUaStatusCode s = r.StatusCode();
            r.UInt32();
            r.Double();
            r.UInt32();
            r.ExtensionObject();
            return s;
        });
    }

    void PublishRequest(std::vector<std::pair<std::uint32_t, std::uint32_t>> acks = {}) {
        SendRequest(UaId::PublishRequest, [&](TUaBinaryWriter& w) {
            w.ArrayLength(acks.size());
            for (auto [s, n] : acks) {
                w.UInt32(s);
                w.UInt32(n);
            }
        });
    }

    struct TPublished {
        TUaStatusCode Result = 0;
        std::uint32_t Subscription = 0;
        std::uint32_t Sequence = 0;
        std::vector<std::pair<std::uint32_t, TUaDataValue>> Changes; // client handle, value
        bool KeepAlive = false;
        std::vector<TUaStatusCode> AckResults;
    };
    TPublished ParsePublish(const std::string& payload) {
        TPublished p;
        TUaBinaryReader r(payload);
        auto start = ReadResponseStart(r);
        p.Result = start.ServiceResult;
        if (start.TypeId != UaId::PublishResponse) return p;
        p.Subscription = r.UInt32();
        r.Array([&] { return r.UInt32(); });
        r.Boolean();
        p.Sequence = r.UInt32();
        r.DateTime();
        auto data = r.Array([&] { return r.ExtensionObject(); });
        p.KeepAlive = data.empty();
        for (const auto& e : data) {
            EXPECT_TRUE(e.TypeId.IsNum(UaId::DataChangeNotification));
            TUaBinaryReader body(e.Body);
            auto items = body.Array([&] {
                std::uint32_t handle = body.UInt32();
                return std::make_pair(handle, body.DataValue());
            });
            p.Changes.insert(p.Changes.end(), items.begin(), items.end());
        }
        p.AckResults = r.Array([&] { return r.StatusCode(); });
        r.Array([&] { return r.DiagnosticInfo(); });
        EXPECT_TRUE(r.AtEnd());
        return p;
    }

    TTestContext Ctx;
    TUaConfig Config;
    std::unique_ptr<TUaMemoryBackend> Backend;
    std::unique_ptr<TUaServer> Server;
    TFakeUaSocket* Socket = nullptr;
    std::uint32_t ChannelId = 0;
    std::uint32_t Token = 0;
    std::uint32_t Sequence = 1;
    std::uint32_t RequestId = 1;
    TUaNodeId AuthToken;
    double RevisedTimeout = 0;
};

TEST_F(UaServerTest, ServicesNeedAnActivatedSessionAndUnknownServicesAreRefused) {
    auto noSession = Call(UaId::ReadRequest, [](TUaBinaryWriter& w) {
        w.Double(0);
        w.UInt32(0);
        w.EmptyArray();
    });
    EXPECT_EQ(StartOf(noSession.at(0)).TypeId, UaId::ServiceFault);
    EXPECT_EQ(StartOf(noSession.at(0)).ServiceResult, UaStatus::BadSessionIdInvalid);

    OpenSession();
    auto unknown = Call(9999, [](TUaBinaryWriter&) {});
    EXPECT_EQ(StartOf(unknown.at(0)).ServiceResult, UaStatus::BadServiceUnsupported);
    EXPECT_EQ(StartOf(unknown.at(0)).RequestHandle, RequestId);
    EXPECT_FALSE(Socket->Closed);
}

TEST_F(UaServerTest, SessionTimeoutIsRevisedAndFreesTheServerObject) {
    OpenSession(5000);
    EXPECT_EQ(RevisedTimeout, 5000);
    EXPECT_EQ(Backend->SessionCount, 1);
    EXPECT_EQ(Backend->SessionNames.back(), "Test session");
    Ctx.Platform.Advance(4999);
    EXPECT_EQ(Backend->SessionCount, 1);
    Ctx.Platform.Advance(TUaServer::HousekeepingIntervalMs + 1);
    EXPECT_EQ(Backend->SessionCount, 0);
    EXPECT_EQ(Server->SessionCount(), 0u);
    EXPECT_EQ(Ctx.Capture.CountStartingWith("Client Test session disconnected at"), 1);
    // Requests with the old token now fail.
    auto late = Call(UaId::ReadRequest, [](TUaBinaryWriter& w) {
        w.Double(0);
        w.UInt32(0);
        w.EmptyArray();
    });
    EXPECT_EQ(StartOf(late.at(0)).ServiceResult, UaStatus::BadSessionIdInvalid);
}

TEST_F(UaServerTest, RequestedTimeoutAboveTheSettingIsCut) {
    OpenSession(24 * 3600 * 1000.0);
    EXPECT_EQ(RevisedTimeout, Config.SessionTimeoutMs);
}

TEST_F(UaServerTest, TooManySessionsAreRefused) {
    Config.MaxSessions = 1;
    Build();
    OpenSession();
    auto second = Call(UaId::CreateSessionRequest, [&](TUaBinaryWriter& w) {
        WriteApplicationDescription(w, {});
        w.Int32(-1);
        w.Int32(-1);
        w.String("second");
        w.Int32(-1);
        w.Int32(-1);
        w.Double(1000);
        w.UInt32(0);
    });
    EXPECT_EQ(StartOf(second.at(0)).ServiceResult, UaStatus::BadTooManySessions);
    EXPECT_EQ(Backend->SessionCount, 1);
}

TEST_F(UaServerTest, ReadsValuesAttributesAndStandardNodes) {
    OpenSession();
    auto values = Read({{TUaNodeId::Str("PLC1.WR0013"), 13},
                        {TUaNodeId::Str("PLC1.WR0013"), 14},
                        {TUaNodeId::Str("PLC1.WR0013"), 3},
                        {TUaNodeId::Str("/PLC1"), 13},
                        {TUaNodeId::Str("PLC9.WR0000"), 13},
                        {TUaNodeId::Num(UaId::NamespaceArray), 13},
                        {TUaNodeId::Num(UaId::MaxNodesPerRead), 13}});
    ASSERT_EQ(values.size(), 7u);
    EXPECT_EQ(std::get<std::uint64_t>(values[0].Value->Values.at(0)), 3u);
    EXPECT_TRUE(values[0].SourceTimestamp && values[0].ServerTimestamp);
    EXPECT_EQ(std::get<TUaNodeId>(values[1].Value->Values.at(0)), TUaNodeId::Num(UaId::UInt16));
    EXPECT_EQ(std::get<TUaQualifiedName>(values[2].Value->Values.at(0)).Name, "WR0013");
    EXPECT_EQ(*values[3].Status, UaStatus::BadAttributeIdInvalid);
    EXPECT_EQ(*values[4].Status, UaStatus::BadNodeIdUnknown);
    EXPECT_EQ(std::get<std::string>(values[5].Value->Values.at(1)), "urn:Norvane:Dravon:Items");
    EXPECT_EQ(std::get<std::uint64_t>(values[6].Value->Values.at(0)), TUaServer::MaxOperationsPerRequest);
}

TEST_F(UaServerTest, DeviceReadIsAnsweredFromTheLoopNotInsideTheRequest) {
    OpenSession();
    SendRequest(UaId::ReadRequest, [&](TUaBinaryWriter& w) {
        w.Double(0);
        w.UInt32(0);
        w.ArrayLength(1);
        w.NodeId(TUaNodeId::Str("PLC1.WR0012"));
        w.UInt32(13);
        w.Int32(-1);
        w.QualifiedName({});
    });
    EXPECT_TRUE(Responses().empty());
    Backend->SetValue("PLC1.WR0012", Word(99));
    Ctx.Platform.RunPosted();
    auto responses = Responses();
    ASSERT_EQ(responses.size(), 1u);
    TUaBinaryReader r(responses[0]);
    ReadResponseStart(r);
    auto values = r.Array([&] { return r.DataValue(); });
    EXPECT_EQ(std::get<std::uint64_t>(values.at(0).Value->Values.at(0)), 99u);
}

TEST_F(UaServerTest, WritesGoThroughTheBackendAndReadOnlySessionsAreRefused) {
    auto write = [&](const std::string& id, const TUaVariant& value) {
        auto responses = Call(UaId::WriteRequest, [&](TUaBinaryWriter& w) {
            w.ArrayLength(1);
            w.NodeId(TUaNodeId::Str(id));
            w.UInt32(13);
            w.Int32(-1);
            TUaDataValue dv;
            dv.Value = value;
            w.DataValue(dv);
        });
        TUaBinaryReader r(responses.at(0));
        ReadResponseStart(r);
        return r.Array([&] { return r.StatusCode(); }).at(0);
    };
    OpenSession();
    EXPECT_EQ(write("PLC1.WR0011", TUaVariant::Scalar(TUaType::Int32, std::int64_t{500})), 0u);
    EXPECT_EQ(std::get<std::uint64_t>(Backend->Find("PLC1.WR0011")->Value.Value.Values.at(0)), 500u);
    EXPECT_EQ(write("PLC1.WR0011", TUaVariant::Scalar(TUaType::Int32, std::int64_t{-1})),
              UaStatus::BadTypeMismatch);
    EXPECT_EQ(write("Sys.ServerUpTime", TUaVariant::Scalar(TUaType::String, std::string("x"))),
              UaStatus::BadNotWritable);
    EXPECT_EQ(write("PLC7.WR0000", Word(1)), UaStatus::BadNodeIdUnknown);

    Config.AnonymousReadOnly = true;
    Build();
    OpenSession();
    EXPECT_EQ(write("PLC1.WR0011", Word(7)), UaStatus::BadUserAccessDenied);
    auto access = Read({{TUaNodeId::Str("PLC1.WR0011"), 17}, {TUaNodeId::Str("PLC1.WR0011"), 18}});
    EXPECT_EQ(std::get<std::uint64_t>(access.at(0).Value->Values.at(0)), 3u);
    EXPECT_EQ(std::get<std::uint64_t>(access.at(1).Value->Values.at(0)), 1u);
}

TEST_F(UaServerTest, BrowseHandsOutPagesThroughContinuationPoints) {
    OpenSession();
    auto browse = Call(UaId::BrowseRequest, [&](TUaBinaryWriter& w) {
        w.NodeId({});
        w.DateTime(0);
        w.UInt32(0);
        w.UInt32(4);
        w.ArrayLength(1);
        w.NodeId(TUaNodeId::Str("/PLC1/WR"));
        w.UInt32(0);
        w.NodeId(TUaNodeId::Num(UaId::HierarchicalReferences));
        w.Boolean(true);
        w.UInt32(0);
        w.UInt32(0x3F);
    });
    auto readResult = [](TUaBinaryReader& r, std::string& continuation) {
        TUaStatusCode status = r.StatusCode();
        continuation = r.ByteString();
        auto names = r.Array([&] {
            r.NodeId();
            r.Boolean();
            r.ExpandedNodeId();
            auto name = r.QualifiedName().Name;
            r.LocalizedText();
            r.UInt32();
            r.ExpandedNodeId();
            return name;
        });
        EXPECT_EQ(status, 0u);
        return names;
    };
    TUaBinaryReader r(browse.at(0));
    ReadResponseStart(r);
    ASSERT_EQ(r.ArrayLength(), 1u);
    std::string continuation;
    auto first = readResult(r, continuation);
    EXPECT_EQ(first, (std::vector<std::string>{"WR0010", "WR0011", "WR0012", "WR0013"}));
    ASSERT_FALSE(continuation.empty());

    auto next = Call(UaId::BrowseNextRequest, [&](TUaBinaryWriter& w) {
        w.Boolean(false);
        w.ArrayLength(1);
        w.String(continuation);
    });
    TUaBinaryReader n(next.at(0));
    ReadResponseStart(n);
    ASSERT_EQ(n.ArrayLength(), 1u);
    std::string after;
    auto rest = readResult(n, after);
    EXPECT_EQ(rest, (std::vector<std::string>{"WR0014", "WR0015"}));
    EXPECT_TRUE(after.empty());

    // A used continuation point is gone.
    auto again = Call(UaId::BrowseNextRequest, [&](TUaBinaryWriter& w) {
        w.Boolean(false);
        w.ArrayLength(1);
        w.String(continuation);
    });
    TUaBinaryReader a(again.at(0));
    ReadResponseStart(a);
    a.ArrayLength();
    EXPECT_EQ(a.StatusCode(), UaStatus::BadContinuationPointInvalid);
}

TEST_F(UaServerTest, SubscriptionPublishesChangesKeepAlivesAndRetransmits) {
    OpenSession();
    double revised = 0;
    std::uint32_t sub = CreateSubscription(110, 30, 3, &revised);
    EXPECT_EQ(revised, 125); // the group rule: multiples of 25 ms
    EXPECT_EQ(Monitor(sub, "PLC1.WR0012", 42).at(0), 0u);
    EXPECT_EQ(Monitor(sub, "PLC9.WR0000", 43).at(0), UaStatus::BadNodeIdUnknown);

    // The first cycle carries the current value.
    PublishRequest();
    Ctx.Platform.Advance(125);
    auto responses = Responses();
    ASSERT_EQ(responses.size(), 1u);
    auto first = ParsePublish(responses[0]);
    EXPECT_EQ(first.Subscription, sub);
    EXPECT_EQ(first.Sequence, 1u);
    ASSERT_EQ(first.Changes.size(), 1u);
    EXPECT_EQ(first.Changes[0].first, 42u);
    EXPECT_EQ(std::get<std::uint64_t>(first.Changes[0].second.Value->Values.at(0)), 2u);

    // A change goes out in the next interval; the acknowledgement is answered.
    Backend->SetValue("PLC1.WR0012", Word(77), UaStatus::UncertainLastUsableValue);
    PublishRequest({{sub, 1}});
    Ctx.Platform.Advance(125);
    auto second = ParsePublish(Responses().at(0));
    EXPECT_EQ(second.Sequence, 2u);
    EXPECT_EQ(second.AckResults, std::vector<TUaStatusCode>{0});
    ASSERT_EQ(second.Changes.size(), 1u);
    EXPECT_EQ(*second.Changes[0].second.Status, UaStatus::UncertainLastUsableValue);

    // Nothing changes: a keep-alive after three intervals, with the next sequence number.
    PublishRequest({{sub, 1}});
    Ctx.Platform.Advance(2 * 125);
    EXPECT_TRUE(Responses().empty());
    Ctx.Platform.Advance(125);
    auto keepAlive = ParsePublish(Responses().at(0));
    EXPECT_TRUE(keepAlive.KeepAlive);
    EXPECT_EQ(keepAlive.Sequence, 3u);
    EXPECT_EQ(keepAlive.AckResults, std::vector<TUaStatusCode>{UaStatus::BadSequenceNumberUnknown});

    // Message 2 was never acknowledged: it can be sent again; message 1 cannot.
    auto republish = [&](std::uint32_t sequence) {
        return StartOf(Call(UaId::RepublishRequest, [&](TUaBinaryWriter& w) {
                           w.UInt32(sub);
                           w.UInt32(sequence);
                       }).at(0));
    };
    EXPECT_EQ(republish(2).TypeId, UaId::RepublishResponse);
    EXPECT_EQ(republish(1).ServiceResult, UaStatus::BadMessageNotAvailable);
}

TEST_F(UaServerTest, SubscriptionWithoutPublishRequestsExpires) {
    OpenSession();
    std::uint32_t sub = CreateSubscription(100, 9, 3);
    EXPECT_EQ(Backend->GroupCount, 1);
    // Keep the session alive while no Publish request comes.
    for (int i = 0; i < 12; ++i) {
        Ctx.Platform.Advance(100);
        Read({{TUaNodeId::Str("PLC1.WR0010"), 13}});
    }
    EXPECT_EQ(Backend->GroupCount, 0);
    auto publish = [&] {
        PublishRequest();
        Ctx.Platform.RunPosted();
        return StartOf(Responses().at(0));
    };
    EXPECT_EQ(publish().ServiceResult, UaStatus::BadNoSubscription);
    (void)sub;
}

TEST_F(UaServerTest, DataChangeFiltersAreCheckedAgainstTheValue) {
    OpenSession();
    std::uint32_t sub = CreateSubscription(100, 30, 3);
    struct TRow {
        const char* Item;
        std::uint32_t Trigger, DeadbandType;
        double Deadband;
        TUaStatusCode Expected;
    } rows[] = {
        {"PLC1.WR0010", 0, 0, 0, 0},
        {"PLC1.WR0010", 1, 1, 5, 0},
        {"PLC1.WR0010", 1, 2, 10, 0},
        {"PLC1.WR0010", 1, 2, 101, UaStatus::BadDeadbandFilterInvalid},
        {"PLC1.WR0010", 3, 0, 0, UaStatus::BadMonitoredItemFilterInvalid},
        {"Sys.ServerUpTime", 1, 1, 1, UaStatus::BadFilterNotAllowed},
    };
    std::uint32_t handle = 1;
    for (const TRow& row : rows) {
        SCOPED_TRACE(handle);
        TUaBinaryWriter filter;
        filter.UInt32(row.Trigger);
        filter.UInt32(row.DeadbandType);
        filter.Double(row.Deadband);
        EXPECT_EQ(Monitor(sub, row.Item, handle++, {TUaNodeId::Num(UaId::DataChangeFilter), 1, filter.Take()})
                      .at(0),
                  row.Expected);
    }
}

TEST_F(UaServerTest, MalformedServiceBodyClosesTheChannel) {
    OpenSession();
    SendRequest(UaId::ReadRequest, [](TUaBinaryWriter& w) {
        w.Double(0);
        w.UInt32(0);
        w.Int32(1000000); // far more entries than bytes
    });
    auto frames = TakeFrames(*Socket);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Type, "ERRF");
    EXPECT_EQ(ErrorCode(frames[0]), UaStatus::BadDecodingError);
    EXPECT_TRUE(Socket->Closed);
    Ctx.Platform.RunPosted();
    EXPECT_EQ(Server->ChannelCount(), 0u);
    // The session outlives its channel until its time-out.
    EXPECT_EQ(Server->SessionCount(), 1u);
}

} // namespace
