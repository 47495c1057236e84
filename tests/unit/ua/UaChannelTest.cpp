// The opc.tcp transport and secure channel, driven frame by frame over an
// in-memory socket with the manual clock.
#include "ua/UaChannel.h"
#include "UaChannelRig.h"
#include "app/MemoryStore.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace dravon;
using namespace dravon::test;

namespace {

using TRequests = std::vector<std::pair<std::uint32_t, std::string>>;
using TErrors = std::vector<std::pair<TUaStatusCode, bool>>;

// A message chunk of channel 7 under token 1 unless told otherwise.
std::string Msg(const char* type, std::uint32_t sequence, std::uint32_t requestId, const std::string& body,
                std::uint32_t token = 1, std::uint32_t channel = 7) {
    return MessageFrame(type, channel, token, sequence, requestId, body);
}

TEST(UaChannelTest, HelloInPiecesIsAcknowledgedWithTheNegotiatedSizes) {
    TChannelRig rig;
    for (char c : HelloFrame(16384, 131072, 1000000, 8)) rig.Channel->Receive(std::string_view(&c, 1));
    // Version 0, our receive buffer = the client's send buffer up to our 65536, our send
    // buffer = the client's receive buffer, then our own message and chunk limits.
    TUaBinaryWriter ack;
    for (std::uint32_t v : {0u, 65536u, 16384u, 4u * 1024 * 1024, 64u}) ack.UInt32(v);
    EXPECT_EQ(TakeFrames(*rig.Socket), (std::vector<TFrame>{{"ACKF", ack.Bytes()}}));
    EXPECT_EQ(std::pair(rig.Channel->SendBufferSize(), rig.Channel->ReceiveBufferSize()),
              std::pair(16384u, 65536u));
}

TEST(UaChannelTest, FramesGiveTheirRequestsOrCloseWithTheMatchingError) {
    std::string truncated = OpenFrame(0, 1, 1);
    truncated.resize(truncated.size() - 3);
    truncated[4] = static_cast<char>(truncated.size()); // the header tells the shorter size
    const std::string basic = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
    const std::string hello = HelloFrame(), open = OpenFrame(0, 1, 1), renew = OpenFrame(7, 2, 2, 1);
    namespace S = UaStatus;
    const struct {
        const char* Name;
        std::vector<std::string> Frames;
        TRequests Requests;
        TUaStatusCode Expected; // 0: the channel stays open
        const char* Reason;     // of the Error message
    } rows[] = {
        // clang-format off
        {"unknown type", {"XYZF\x10\x00\x00\x00garbage!"}, {}, S::BadTcpMessageTypeInvalid, "Unknown message type"},
        {"message before hello", {Msg("MSGF", 1, 1, "x")}, {}, S::BadTcpMessageTypeInvalid, "Message before OpenSecureChannel"},
        {"open before hello", {open}, {}, S::BadTcpMessageTypeInvalid, "Unexpected OpenSecureChannel"},
        {"chunk above the buffer", {std::string("HELF\x00\x00\x10\x00", 8)}, {}, S::BadTcpMessageTooLarge, "Chunk larger than the receive buffer"},
        {"chunk of the buffer's size", {std::string("HELF\x00\x00\x01\x00", 8) + std::string(65528, '\0')}, {}, S::BadDecodingError, "Malformed Hello"},
        {"hello as a C chunk", {"HELC" + hello.substr(4)}, {}, S::BadTcpMessageTypeInvalid, "Unexpected Hello"},
        {"header without a body", {std::string("HELF\x0b\0\0\0", 8) + "abc"}, {}, S::BadTcpMessageTypeInvalid, "Message size too small"},
        {"receive buffer below 8192", {HelloFrame(8191, 65536)}, {}, S::BadTcpNotEnoughResources, "Buffer sizes below 8192"},
        {"send buffer below 8192", {HelloFrame(65536, 8191)}, {}, S::BadTcpNotEnoughResources, "Buffer sizes below 8192"},
        // A ServiceFault takes 28 bytes: a smaller limit could never be answered.
        {"max message size 27", {HelloFrame(65536, 65536, 27)}, {}, S::BadTcpNotEnoughResources, "MaxMessageSize cannot hold a ServiceFault"},
        {"second hello", {hello, hello}, {}, S::BadTcpMessageTypeInvalid, "Unexpected Hello"},
        {"endpoint URL of 4096 bytes", {HelloFrame(65536, 65536, 0, 0, std::string(4096, 'u'))}, {}, 0, ""},
        {"endpoint URL of 4097 bytes", {HelloFrame(65536, 65536, 0, 0, std::string(4097, 'u'))}, {}, S::BadTcpEndpointUrlInvalid, "Endpoint URL too long"},
        {"signed policy", {hello, OpenFrame(0, 1, 1, 0, 1, basic)}, {}, S::BadSecurityPolicyRejected, "Security policy not offered"},
        {"sign mode", {hello, OpenFrame(0, 1, 1, 0, 2)}, {}, S::BadSecurityModeRejected, "Security mode not offered with this policy"},
        {"renew before issue", {hello, OpenFrame(7, 1, 1, 1)}, {}, S::BadRequestTypeInvalid, "Issue on an open channel or renew before issue"},
        {"request type 2", {hello, OpenFrame(0, 1, 1, 2)}, {}, S::BadRequestTypeInvalid, "Issue on an open channel or renew before issue"},
        {"renewal under another policy", {hello, open, OpenFrame(7, 2, 2, 1, 1, basic)}, {}, S::BadSecurityPolicyRejected, "Renewal with another security policy"},
        {"renewal for another channel", {hello, open, OpenFrame(8, 2, 2, 1)}, {}, S::BadTcpSecureChannelUnknown, "Renewal for another channel"},
        {"truncated open", {hello, truncated}, {}, S::BadDecodingError, "Malformed OpenSecureChannelRequest"},
        // The rig allows 3 chunks and 7 bytes a message.
        {"three chunks joined", {hello, open, Msg("MSGC", 2, 5, "abc"), Msg("MSGC", 3, 5, "def"), Msg("MSGF", 4, 5, "g")}, {{5, "abcdefg"}}, 0, ""},
        {"eight bytes", {hello, open, Msg("MSGC", 2, 5, "abcd"), Msg("MSGF", 3, 5, "efgh")}, {}, S::BadRequestTooLarge, "Request exceeds the message limits"},
        {"abort chunk drops what was collected", {hello, open, Msg("MSGC", 2, 6, "xx"), Msg("MSGA", 3, 6, ""), Msg("MSGF", 4, 8, "y")}, {{8, "y"}}, 0, ""},
        {"four chunks", {hello, open, Msg("MSGC", 2, 5, "a"), Msg("MSGC", 3, 5, "a"), Msg("MSGC", 4, 5, "a"), Msg("MSGF", 5, 5, "a")}, {}, S::BadRequestTooLarge, "Request exceeds the message limits"},
        {"interleaved chunks of two requests", {hello, open, Msg("MSGC", 2, 5, "a"), Msg("MSGF", 3, 6, "b")}, {}, S::BadTcpMessageTypeInvalid, "Chunks of two requests interleaved"},
        {"sequence number repeated", {hello, open, Msg("MSGF", 2, 5, "a"), Msg("MSGF", 2, 6, "b")}, {{5, "a"}}, S::BadSequenceNumberInvalid, "Sequence number out of order"},
        {"sequence number wraps past 2^32 - 1024", {hello, OpenFrame(0, 0xFFFFFC00u, 1), Msg("MSGF", 5, 5, "a")}, {{5, "a"}}, 0, ""},
        {"sequence number cannot wrap before", {hello, OpenFrame(0, 0xFFFFFBFFu, 1), Msg("MSGF", 5, 5, "a")}, {}, S::BadSequenceNumberInvalid, "Sequence number out of order"},
        {"unknown channel", {hello, open, Msg("MSGF", 2, 5, "a", 1, 8)}, {}, S::BadTcpSecureChannelUnknown, "Unknown secure channel"},
        {"unknown token", {hello, open, Msg("MSGF", 2, 5, "a", 6)}, {}, S::BadSecureChannelTokenUnknown, "Unknown security token"},
        // The old token works until the client uses the renewed one.
        {"renewed token", {hello, open, renew, Msg("MSGF", 3, 3, "old"), Msg("MSGF", 4, 4, "new", 2), Msg("MSGF", 5, 5, "stale")},
         {{3, "old"}, {4, "new"}}, S::BadSecureChannelTokenUnknown, "Unknown security token"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TChannelRig rig;
        rig.Config.MaxChunkCount = 3;
        rig.Config.MaxMessageSize = 7;
        rig.Channel->OnError = nullptr; // the channel works without anyone told of its errors
        for (const auto& frame : row.Frames) rig.Channel->Receive(frame);
        EXPECT_EQ(rig.Requests, row.Requests);
        std::string reason;
        EXPECT_EQ(rig.LastError(&reason), row.Expected);
        EXPECT_EQ(reason, row.Reason);
        EXPECT_EQ(std::pair(rig.Socket->Closed, rig.ClosedCalls),
                  std::pair(row.Expected != 0, row.Expected ? 1 : 0));
        // Nothing after the close is looked at.
        rig.Channel->Receive(hello);
        EXPECT_EQ(rig.Socket->Written.empty(), row.Expected != 0);
    }
}

TEST(UaChannelTest, ResponsesGoOutInChunksOfTheClientsBufferOrAsOneFaultOrError) {
    const std::uint32_t own = TUaConfig{}.MaxMessageSize;
    const struct {
        const char* Name;
        std::uint32_t ClientMaxMessage, ClientMaxChunks, OwnMaxMessage;
        const char* Frames; // MSGF alone: a ServiceFault
    } rows[] = {
        {"three chunks", 0, 0, own, "MSGCMSGCMSGF"},
        {"client's message limit", 10000, 0, own, "MSGF"},
        {"client's smallest message limit", 28, 0, own, "MSGF"},
        {"client's chunk limit", 0, 2, own, "MSGF"},
        {"client's chunk limit met", 0, 3, own, "MSGCMSGCMSGF"},
        {"own message limit", 0, 0, 10000, "MSGF"},
        {"own message limit met", 0, 0, 20000, "MSGCMSGCMSGF"},
        {"own limit below a fault: an error and the close", 0, 0, 20, "ERRF"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TChannelRig rig;
        rig.Config.MaxMessageSize = row.OwnMaxMessage;
        rig.Open(600000, 8192, row.ClientMaxMessage, row.ClientMaxChunks);
        const std::string body(20000, 'z');
        rig.Channel->SendResponse(9, 42, body);
        std::string types, payload;
        std::uint32_t sequence = 0;
        for (const auto& f : TakeFrames(*rig.Socket)) {
            types += f.Type;
            if (f.Type == "ERRF") {
                EXPECT_EQ(ErrorCode(f), UaStatus::BadResponseTooLarge);
                continue;
            }
            EXPECT_LE(f.Body.size() + 8, 8192u);
            TUaBinaryReader r(f.Body);
            const std::uint32_t channel = r.UInt32(), token = r.UInt32(), next = r.UInt32();
            EXPECT_EQ(std::tuple(channel, token, r.UInt32()), std::tuple(7u, 1u, 9u));
            EXPECT_TRUE(!sequence || next == sequence + 1);
            sequence = next;
            payload += MessagePayload(f);
        }
        EXPECT_EQ(types, row.Frames);
        TUaBinaryReader r(payload);
        if (types == "MSGF") {
            EXPECT_EQ(ReadResponseStart(r),
                      (TResponseStart{UaId::ServiceFault, 42, UaStatus::BadResponseTooLarge}));
        }
        EXPECT_TRUE(types.size() <= 4 || payload == body);
        const bool error = types == "ERRF";
        EXPECT_EQ(rig.Errors, (error ? TErrors{{UaStatus::BadResponseTooLarge, false}} : TErrors{}));
        EXPECT_EQ(rig.ClosedCalls, error ? 1 : 0);
    }
}

TEST(UaChannelTest, ClientThatStopsReadingIsDisconnected) {
    TChannelRig rig;
    rig.Open();
    rig.Socket->Pending = 2u * rig.Config.MaxMessageSize + 2u * 1024 * 1024;
    rig.Channel->SendResponse(9, 1, "x");
    EXPECT_EQ(std::pair(rig.Socket->Closed, rig.ClosedCalls), std::pair(true, 1));
}

TEST(UaChannelTest, EveryStateEndsWhenItLastsTooLong) {
    struct TCase {
        const char* Name;
        std::function<void(TChannelRig&)> Enter;
        std::uint32_t LimitMs;
        TUaStatusCode Expected;
    };
    const TUaConfig defaults;
    std::string msg = Msg("MSGF", 2, 5, std::string(100, 'x'));
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
         [](TChannelRig& r) { r.Open(); r.Platform.Clock.Step(3000); r.Channel->Receive(Msg("MSGC", 2, 5, "a") + Msg("MSGC", 3, 5, "b")); },
         defaults.MessageTimeoutMs, UaStatus::BadTimeout},
        // A message completed in time ends its count: the next one has its own.
        {"a message after one completed late",
         [&](TChannelRig& r) {
             r.Open();
             r.Channel->Receive(msg.substr(0, 50));
             r.Platform.Clock.Step(defaults.MessageTimeoutMs - 1);
             r.Channel->Receive(msg.substr(50));
             r.Channel->Receive(Msg("MSGC", 3, 6, "a"));
         },
         defaults.MessageTimeoutMs, UaStatus::BadTimeout},
        // Lifetime 600 s when the client names none, 10 s at least; the client renews at 75 %,
        // after 125 % the token is dead.
        {"token not renewed", [](TChannelRig& r) { r.Open(0); }, 750001, UaStatus::BadSecureChannelTokenUnknown},
        {"token asked for 1 s", [](TChannelRig& r) { r.Open(1000); }, 12501, UaStatus::BadSecureChannelTokenUnknown},
        {"token asked for 2 h", [](TChannelRig& r) { r.Open(7200000); }, 4500001, UaStatus::BadSecureChannelTokenUnknown},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TChannelRig rig;
        c.Enter(rig);
        TakeFrames(*rig.Socket);
        rig.Platform.Clock.Step(c.LimitMs - 1);
        rig.Channel->CheckTimeouts();
        EXPECT_EQ(rig.ClosedCalls, 0);
        rig.Platform.Clock.Step(1);
        rig.Channel->CheckTimeouts();
        EXPECT_EQ(std::tuple(rig.LastError(), rig.ClosedCalls, rig.Errors),
                  std::tuple(c.Expected, 1, TErrors{{c.Expected, true}}));
    }
}

// Stored limits as an operator may leave them: out of range, the default applies.
TEST(UaConfigTest, StoredLimitsOutOfRangeFallBackToTheirDefaults) {
    // Value name, stored, in effect (read back from the settings stored again).
    const std::tuple<const char*, std::uint32_t, std::uint32_t> rows[] = {
        // clang-format off
        {"Port", 65535, 65535}, {"Port", 65536, 4840}, {"Port", 0, 4840}, {"MaxSessions", 0, 50},
        {"MaxSubscriptionsPerSession", 0, 20}, {"MaxMonitoredItemsPerSubscription", 0, 10000},
        {"MaxMessageSize", 65536, 65536}, {"MaxMessageSize", 65535, 4194304},
        {"MaxMessageSize", 268435456, 268435456}, {"MaxMessageSize", 268435457, 4194304},
        {"MaxChunkCount", 4096, 4096}, {"MaxChunkCount", 4097, 64}, {"MaxChunkCount", 0, 64},
        {"SessionTimeout", 1000, 1000}, {"SessionTimeout", 999, 60000},
        {"SessionTimeout", 3600000, 3600000}, {"SessionTimeout", 3600001, 60000},
        {"CertificateLifetimeDays", 7320, 7320}, {"CertificateLifetimeDays", 7321, 1825},
        {"CertificateLifetimeDays", 0, 1825}, {"UnactivatedSessionTimeout", 999, 10000},
        {"HandshakeTimeout", 1000, 1000}, {"HandshakeTimeout", 600000, 600000}, {"MessageTimeout", 600001, 30000},
        {"MaxChannelsPerAddress", 0, 20}, {"MaxChannelsPerAddress", 1, 1},
        // clang-format on
    };
    for (const auto& [name, stored, loaded] : rows) {
        SCOPED_TRACE(testing::Message() << name << " " << stored);
        TMemoryStore store, again;
        store.OpenKey(TRootKey::LocalMachine, UaConfigKeyPath)->WriteDword(name, stored);
        TUaConfig config;
        ASSERT_TRUE(LoadUaConfig(store, config));
        ASSERT_TRUE(SaveUaConfig(again, config));
        EXPECT_EQ(again.OpenKeyReadOnly(TRootKey::LocalMachine, UaConfigKeyPath)->ReadDword(name), loaded);
    }
}

} // namespace
