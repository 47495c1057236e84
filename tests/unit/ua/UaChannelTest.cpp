// The opc.tcp transport and secure channel, driven frame by frame over an
// in-memory socket with the manual clock.
#include "ua/UaChannel.h"
#include "UaTestClient.h"
#include "support/FakePlatform.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

using namespace dravon;
using namespace dravon::test;

namespace {

struct TChannelRig {
    TChannelRig() {
        auto socket = std::make_unique<TFakeUaSocket>();
        Socket = socket.get();
        Channel = std::make_unique<TUaChannel>(std::move(socket), Config, Platform.Clock, 7);
        Channel->OnRequest = [this](std::uint32_t requestId, std::string_view body) {
            Requests.emplace_back(requestId, std::string(body));
        };
        Channel->OnClosed = [this] { ++ClosedCalls; };
    }

    // Hello and OpenSecureChannel; returns the token id.
    std::uint32_t Open(std::uint32_t receive = 65536, std::uint32_t maxMessage = 0,
                       std::uint32_t maxChunks = 0) {
        Channel->Receive(HelloFrame(receive, 65536, maxMessage, maxChunks));
        Channel->Receive(OpenFrame(0, 100, 1));
        auto frames = TakeFrames(*Socket);
        EXPECT_EQ(frames.size(), 2u);
        EXPECT_EQ(Channel->State(), TUaChannel::TState::Open);
        return Channel->TokenId();
    }

    TUaStatusCode LastError() {
        auto frames = TakeFrames(*Socket);
        if (frames.empty() || frames.back().Type != "ERRF") return 0;
        return ErrorCode(frames.back());
    }

    TFakePlatform Platform;
    TUaConfig Config;
    TFakeUaSocket* Socket = nullptr;
    std::unique_ptr<TUaChannel> Channel;
    std::vector<std::pair<std::uint32_t, std::string>> Requests;
    int ClosedCalls = 0;
};

class UaChannelTest : public ::testing::Test, public TChannelRig {};

TEST_F(UaChannelTest, HelloIsAcknowledgedWithTheNegotiatedSizes) {
    Channel->Receive(HelloFrame(16384, 32768, 1000000, 8));
    auto frames = TakeFrames(*Socket);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Type, "ACKF");
    // Version 0, our receive buffer = the client's send buffer, our send buffer =
    // the client's receive buffer, then our own message and chunk limits.
    TUaBinaryWriter expected;
    for (std::uint32_t v : {0u, 32768u, 16384u, 4u * 1024 * 1024, 64u}) expected.UInt32(v);
    EXPECT_EQ(frames[0].Body, expected.Bytes());
    EXPECT_EQ(Channel->SendBufferSize(), 16384u);
    EXPECT_EQ(Channel->ReceiveBufferSize(), 32768u);
}

TEST_F(UaChannelTest, HelloArrivingInPiecesIsReassembled) {
    std::string hello = HelloFrame();
    for (char c : hello) Channel->Receive(std::string_view(&c, 1));
    auto frames = TakeFrames(*Socket);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Type, "ACKF");
}

TEST_F(UaChannelTest, BadInputClosesWithTheMatchingError) {
    std::string truncated = OpenFrame(0, 1, 1);
    truncated.resize(truncated.size() - 3);
    truncated[4] = static_cast<char>(truncated.size()); // the header tells the shorter size
    const std::string basic = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
    const struct {
        const char* Name;
        std::vector<std::string> Frames;
        TUaStatusCode Expected;
    } cases[] = {
        {"unknown type", {"XYZF\x10\x00\x00\x00garbage!"}, UaStatus::BadTcpMessageTypeInvalid},
        {"message before hello", {MessageFrame("MSGF", 7, 1, 1, 1, "x")}, UaStatus::BadTcpMessageTypeInvalid},
        {"open before hello", {OpenFrame(0, 1, 1)}, UaStatus::BadTcpMessageTypeInvalid},
        {"chunk above the buffer", {std::string("HELF\x00\x00\x10\x00", 8)}, UaStatus::BadTcpMessageTooLarge},
        {"buffers below 8192", {HelloFrame(1024, 1024)}, UaStatus::BadTcpNotEnoughResources},
        // A ServiceFault takes 28 bytes: a smaller limit could never be answered.
        {"max message size 27", {HelloFrame(65536, 65536, 27)}, UaStatus::BadTcpNotEnoughResources},
        {"max message size 1", {HelloFrame(65536, 65536, 1)}, UaStatus::BadTcpNotEnoughResources},
        {"second hello", {HelloFrame(), HelloFrame()}, UaStatus::BadTcpMessageTypeInvalid},
        {"signed policy",
         {HelloFrame(), OpenFrame(0, 1, 1, 0, 1, basic)},
         UaStatus::BadSecurityPolicyRejected},
        {"sign mode", {HelloFrame(), OpenFrame(0, 1, 1, 0, 2)}, UaStatus::BadSecurityModeRejected},
        {"renew before issue", {HelloFrame(), OpenFrame(7, 1, 1, 1)}, UaStatus::BadRequestTypeInvalid},
        {"truncated open", {HelloFrame(), truncated}, UaStatus::BadDecodingError},
    };
    for (const auto& c : cases) {
        auto socket = std::make_unique<TFakeUaSocket>();
        TFakeUaSocket* raw = socket.get();
        TUaChannel channel(std::move(socket), Config, Platform.Clock, 7);
        int closed = 0;
        channel.OnClosed = [&] { ++closed; };
        for (const auto& frame : c.Frames) channel.Receive(frame);
        auto frames = TakeFrames(*raw);
        ASSERT_FALSE(frames.empty()) << c.Name;
        EXPECT_EQ(frames.back().Type, "ERRF") << c.Name;
        EXPECT_EQ(ErrorCode(frames.back()), c.Expected) << c.Name;
        EXPECT_TRUE(raw->Closed) << c.Name;
        EXPECT_EQ(closed, 1) << c.Name;
        // Nothing after the close is looked at.
        channel.Receive(HelloFrame());
        EXPECT_TRUE(raw->Written.empty()) << c.Name;
    }
}

TEST_F(UaChannelTest, RequestInChunksIsReassembledAndDelivered) {
    std::uint32_t token = Open();
    Channel->Receive(MessageFrame("MSGC", 7, token, 101, 5, "abc"));
    Channel->Receive(MessageFrame("MSGC", 7, token, 102, 5, "def"));
    EXPECT_TRUE(Requests.empty());
    Channel->Receive(MessageFrame("MSGF", 7, token, 103, 5, "g"));
    ASSERT_EQ(Requests.size(), 1u);
    EXPECT_EQ(Requests[0].first, 5u);
    EXPECT_EQ(Requests[0].second, "abcdefg");
    // An abort chunk throws away what was collected.
    Channel->Receive(MessageFrame("MSGC", 7, token, 104, 6, "xx"));
    Channel->Receive(MessageFrame("MSGA", 7, token, 105, 6, ""));
    Channel->Receive(MessageFrame("MSGF", 7, token, 106, 8, "y"));
    ASSERT_EQ(Requests.size(), 2u);
    EXPECT_EQ(Requests[1].second, "y");
}

TEST_F(UaChannelTest, OutOfOrderSequenceNumbersCloseTheChannel) {
    std::uint32_t token = Open();
    Channel->Receive(MessageFrame("MSGF", 7, token, 101, 5, "a"));
    Channel->Receive(MessageFrame("MSGF", 7, token, 101, 6, "b"));
    EXPECT_EQ(LastError(), UaStatus::BadSequenceNumberInvalid);
    EXPECT_EQ(Requests.size(), 1u);
    EXPECT_EQ(ClosedCalls, 1);
}

TEST_F(UaChannelTest, UnknownChannelOrTokenClosesTheChannel) {
    std::uint32_t token = Open();
    Channel->Receive(MessageFrame("MSGF", 8, token, 101, 5, "a"));
    EXPECT_EQ(LastError(), UaStatus::BadTcpSecureChannelUnknown);

    TChannelRig other;
    std::uint32_t otherToken = other.Open();
    other.Channel->Receive(MessageFrame("MSGF", 7, otherToken + 5, 101, 5, "a"));
    EXPECT_EQ(other.LastError(), UaStatus::BadSecureChannelTokenUnknown);
}

TEST_F(UaChannelTest, InterleavedChunksOfTwoRequestsAreRefused) {
    std::uint32_t token = Open();
    Channel->Receive(MessageFrame("MSGC", 7, token, 101, 5, "a"));
    Channel->Receive(MessageFrame("MSGF", 7, token, 102, 6, "b"));
    EXPECT_EQ(LastError(), UaStatus::BadTcpMessageTypeInvalid);
    EXPECT_TRUE(Requests.empty());
}

TEST_F(UaChannelTest, RequestAboveTheChunkCountIsRefused) {
    Config.MaxChunkCount = 3;
    std::uint32_t token = Open();
    for (std::uint32_t i = 0; i < 3; ++i) Channel->Receive(MessageFrame("MSGC", 7, token, 101 + i, 5, "a"));
    Channel->Receive(MessageFrame("MSGF", 7, token, 104, 5, "a"));
    EXPECT_EQ(LastError(), UaStatus::BadRequestTooLarge);
    EXPECT_TRUE(Requests.empty());
}

TEST_F(UaChannelTest, RenewedTokenReplacesTheOldOneOnceUsed) {
    std::uint32_t first = Open();
    Channel->Receive(OpenFrame(7, 101, 2, 1));
    auto frames = TakeFrames(*Socket);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Type, "OPNF");
    std::uint32_t second = Channel->TokenId();
    EXPECT_EQ(second, first + 1);
    // The old token still works until the client uses the new one.
    Channel->Receive(MessageFrame("MSGF", 7, first, 102, 3, "old"));
    Channel->Receive(MessageFrame("MSGF", 7, second, 103, 4, "new"));
    EXPECT_EQ(Requests.size(), 2u);
    Channel->Receive(MessageFrame("MSGF", 7, first, 104, 5, "stale"));
    EXPECT_EQ(LastError(), UaStatus::BadSecureChannelTokenUnknown);
}

TEST_F(UaChannelTest, ResponsesAreSplitIntoChunksOfTheClientsBuffer) {
    std::uint32_t token = Open(8192);
    std::string body(20000, 'z');
    Channel->SendResponse(9, 1, body);
    auto frames = TakeFrames(*Socket);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].Type + frames[1].Type + frames[2].Type, "MSGCMSGCMSGF");
    std::string joined;
    std::uint32_t lastSequence = 0;
    for (const auto& f : frames) {
        EXPECT_LE(f.Body.size() + 8, 8192u);
        TUaBinaryReader r(f.Body);
        EXPECT_EQ(r.UInt32(), 7u);
        EXPECT_EQ(r.UInt32(), token);
        std::uint32_t sequence = r.UInt32();
        if (lastSequence) {
            EXPECT_EQ(sequence, lastSequence + 1);
        }
        lastSequence = sequence;
        EXPECT_EQ(r.UInt32(), 9u);
        joined += MessagePayload(f);
    }
    EXPECT_EQ(joined, body);
}

TEST_F(UaChannelTest, ResponseAboveTheLimitsIsOneFaultOrOneError) {
    struct TCase {
        const char* Name;
        std::uint32_t ClientMaxMessage, ClientMaxChunks, OwnMaxMessage;
        bool Fault; // a ServiceFault fits; otherwise an Error message and the close
    };
    const TCase cases[] = {
        {"client's message limit", 10000, 0, 4 * 1024 * 1024, true},
        {"client's smallest message limit", 28, 0, 4 * 1024 * 1024, true},
        {"client's chunk limit", 0, 2, 4 * 1024 * 1024, true},
        {"own message limit", 0, 0, 10000, true},
        {"own limit below a fault", 0, 0, 20, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TChannelRig rig;
        rig.Config.MaxMessageSize = c.OwnMaxMessage;
        rig.Open(8192, c.ClientMaxMessage, c.ClientMaxChunks);
        std::vector<TUaStatusCode> errors;
        rig.Channel->OnError = [&](TUaStatusCode code, const std::string&, bool) { errors.push_back(code); };
        rig.Channel->SendResponse(9, 42, std::string(20000, 'z'));
        auto frames = TakeFrames(*rig.Socket);
        ASSERT_EQ(frames.size(), 1u);
        if (c.Fault) {
            EXPECT_EQ(frames[0].Type, "MSGF");
            std::string payload = MessagePayload(frames[0]);
            TUaBinaryReader r(payload);
            auto start = ReadResponseStart(r);
            EXPECT_EQ(start.TypeId, UaId::ServiceFault);
            EXPECT_EQ(start.RequestHandle, 42u);
            EXPECT_EQ(start.ServiceResult, UaStatus::BadResponseTooLarge);
            EXPECT_EQ(rig.ClosedCalls, 0);
        } else {
            EXPECT_EQ(frames[0].Type, "ERRF");
            EXPECT_EQ(ErrorCode(frames[0]), UaStatus::BadResponseTooLarge);
            EXPECT_EQ(errors, std::vector<TUaStatusCode>{UaStatus::BadResponseTooLarge});
            EXPECT_EQ(rig.ClosedCalls, 1);
        }
    }
}

TEST_F(UaChannelTest, EveryStateEndsWhenItLastsTooLong) {
    struct TCase {
        const char* Name;
        std::function<void(TChannelRig&)> Enter;
        std::uint32_t LimitMs;
        TUaStatusCode Expected;
    };
    const TUaConfig defaults;
    std::string msg = MessageFrame("MSGF", 7, 1, 101, 5, std::string(100, 'x'));
    // clang-format off
    const TCase cases[] = {
        {"no Hello", [](TChannelRig&) {}, defaults.HandshakeTimeoutMs, UaStatus::BadTimeout},
        {"half a Hello", [](TChannelRig& r) { r.Channel->Receive(HelloFrame().substr(0, 10)); },
         defaults.HandshakeTimeoutMs, UaStatus::BadTimeout},
        // Each limit counts from entering the state.
        {"Hello but no OpenSecureChannel",
         [](TChannelRig& r) { r.Platform.Clock.Step(3000); r.Channel->Receive(HelloFrame()); },
         defaults.HandshakeTimeoutMs, UaStatus::BadTimeout},
        {"a chunk begun",
         [&](TChannelRig& r) { r.Open(); r.Platform.Clock.Step(3000); r.Channel->Receive(msg.substr(0, 50)); },
         defaults.MessageTimeoutMs, UaStatus::BadTimeout},
        {"chunks without the final one",
         [](TChannelRig& r) {
             std::uint32_t token = r.Open();
             r.Platform.Clock.Step(3000);
             r.Channel->Receive(MessageFrame("MSGC", 7, token, 101, 5, "a"));
             r.Channel->Receive(MessageFrame("MSGC", 7, token, 102, 5, "b"));
         },
         defaults.MessageTimeoutMs, UaStatus::BadTimeout},
        // Lifetime 600 s; the client renews at 75 %, after 125 % the token is dead.
        {"token not renewed", [](TChannelRig& r) { r.Open(); }, 750001, UaStatus::BadSecureChannelTokenUnknown},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TChannelRig rig;
        std::vector<bool> timedOut;
        rig.Channel->OnError = [&](TUaStatusCode, const std::string&, bool t) { timedOut.push_back(t); };
        c.Enter(rig);
        TakeFrames(*rig.Socket);
        rig.Platform.Clock.Step(c.LimitMs - 1);
        rig.Channel->CheckTimeouts();
        EXPECT_EQ(rig.ClosedCalls, 0);
        rig.Platform.Clock.Step(1);
        rig.Channel->CheckTimeouts();
        EXPECT_EQ(rig.LastError(), c.Expected);
        EXPECT_EQ(rig.ClosedCalls, 1);
        EXPECT_EQ(timedOut, std::vector<bool>{true});
    }
}

TEST_F(UaChannelTest, MessagesCompletedInTimeKeepTheChannel) {
    std::uint32_t token = Open();
    for (std::uint32_t i = 0; i < 4; ++i) {
        std::string frame = MessageFrame("MSGF", 7, token, 101 + i, 5 + i, "abc");
        Channel->Receive(frame.substr(0, 10));
        Platform.Clock.Step(Config.MessageTimeoutMs - 1);
        Channel->Receive(frame.substr(10));
        Channel->CheckTimeouts();
    }
    EXPECT_EQ(Requests.size(), 4u);
    EXPECT_EQ(ClosedCalls, 0);
}

TEST_F(UaChannelTest, ClientThatStopsReadingIsDisconnected) {
    std::uint32_t token = Open();
    (void)token;
    Socket->Pending = 2u * Config.MaxMessageSize + 2u * 1024 * 1024;
    Channel->SendResponse(9, 1, "x");
    EXPECT_TRUE(Socket->Closed);
    EXPECT_EQ(ClosedCalls, 1);
}

} // namespace
