// Reassembly of serial-format frames from a byte stream, fed the way a port delivers it.
#include "comm/StreamParser.h"

#include "comm/HProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes AsciiFrame(const std::string& chars) {
    Bytes bytes{STX};
    bytes.insert(bytes.end(), chars.begin(), chars.end());
    bytes.push_back(CR);
    return bytes;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct TRecordingSink : IStreamSink {
    std::vector<Bytes> Frames;
    std::vector<Bytes> Replies;
    int Naks = 0;
    int Decisions = 0;
    void FrameReceived(std::span<const std::uint8_t> payload) override {
        Frames.emplace_back(payload.begin(), payload.end());
    }
    void ReplyQueued(std::span<const std::uint8_t> reply) override {
        Replies.emplace_back(reply.begin(), reply.end());
    }
    void NakReceived() override { ++Naks; }
    void FrameDecided() override { ++Decisions; }
};

class StreamParserTest : public ::testing::Test {
protected:
    void Feed(const Bytes& bytes, bool binary = false, bool station = false) {
        Parser.ParseStream(bytes, binary, station, Sink);
    }
    TStreamParser Parser;
    TRecordingSink Sink;
};

TEST_F(StreamParserTest, AsciiAnswerDecodedToPayload) {
    Feed(AsciiFrame("FFFF000000A40001123438"));
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0], (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34}));
    EXPECT_EQ(Sink.Decisions, 1);
    EXPECT_EQ(Parser.Pending(), 0u);
}

TEST_F(StreamParserTest, AsciiAnswerInPiecesWithGarbageBeforeAndAfter) {
    const Bytes frame = Cat(Bytes{'x', 'y', 0x0A}, AsciiFrame("05FFFF000000A0123456789ABCDEF0B0"));
    for (std::size_t i = 0; i < frame.size(); i += 3) {
        Feed(Bytes(frame.begin() + static_cast<long>(i),
                   frame.begin() + static_cast<long>(std::min(i + 3, frame.size()))));
        if (i + 3 < frame.size()) {
            EXPECT_TRUE(Sink.Frames.empty());
        }
    }
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0], (Bytes{0x05, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0, 0x12, 0x34, 0x56, 0x78, 0x9A,
                                     0xBC, 0xDE, 0xF0}));
}

TEST_F(StreamParserTest, BytesAfterAFrameAreDropped) {
    Feed(Cat(AsciiFrame("00A5D6"), AsciiFrame("00A5D6")));
    EXPECT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Parser.Pending(), 0u);
}

TEST_F(StreamParserTest, AsciiWrongChecksumDroppedButDecided) {
    Feed(AsciiFrame("FFFF000000A40001123439"));
    EXPECT_TRUE(Sink.Frames.empty());
    EXPECT_EQ(Sink.Decisions, 1);
    EXPECT_EQ(Parser.Pending(), 0u);
}

TEST_F(StreamParserTest, AsciiRejectionFrames) {
    Feed(AsciiFrame("FFFF000001A40715"));
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0], (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x07}));
}

TEST_F(StreamParserTest, ShortHandshakes) {
    Feed(Bytes{ACK, CR});
    ASSERT_EQ(Sink.Replies.size(), 1u);
    EXPECT_EQ(Sink.Replies[0], (Bytes{0x05, 0x30, 0x31, 0x0D}));
    Feed(Bytes{EOT, CR});
    ASSERT_EQ(Sink.Replies.size(), 2u);
    EXPECT_EQ(Sink.Replies[1], (Bytes{0x05, 0x30, 0x31, 0x0D}));
    EXPECT_EQ(Sink.Decisions, 2);
}

TEST_F(StreamParserTest, StationHandshakeOnlyWithStationNumbers) {
    Feed(Bytes{ACK, 0x30, 0x35, CR}, false, true);
    ASSERT_EQ(Sink.Replies.size(), 1u);
    EXPECT_EQ(Sink.Replies[0], (Bytes{0x05, 0x32, 0x30, 0x35, 0x31, 0x0D}));
    // Without station numbers the same bytes are dropped.
    Feed(Bytes{ACK, 0x30, 0x35, CR}, false, false);
    EXPECT_EQ(Sink.Replies.size(), 1u);
    EXPECT_EQ(Sink.Decisions, 2);
    EXPECT_EQ(Parser.Pending(), 0u);
}

TEST_F(StreamParserTest, NakFrame) {
    Feed(Bytes{NAK, 0x30, CR});
    EXPECT_EQ(Sink.Naks, 1);
    EXPECT_EQ(Parser.Pending(), 0u);
    // Only with CR as third byte.
    Feed(Bytes{NAK, 0x30, 0x31, CR});
    EXPECT_EQ(Sink.Naks, 1);
}

TEST_F(StreamParserTest, IncompleteAsciiKeptUntilCr) {
    Feed(Bytes{STX, 'F', 'F'});
    EXPECT_EQ(Parser.Pending(), 3u);
    EXPECT_EQ(Sink.Decisions, 0);
    Feed(Bytes{'F', 'F', '0', '0', '0', '0', '0', '0', 'A', '5'});
    Feed(Bytes{'0', '0', CR}); // wrong checksum
    EXPECT_EQ(Sink.Decisions, 1);
    EXPECT_TRUE(Sink.Frames.empty());
}

TEST_F(StreamParserTest, OddCharacterCountIsNoFrame) {
    Feed(AsciiFrame("FFFF000000A5D")); // 13 characters: no hex pairs plus checksum
    EXPECT_TRUE(Sink.Frames.empty());
    EXPECT_EQ(Sink.Decisions, 1);
}

TEST_F(StreamParserTest, BinaryAnswer) {
    Feed(Bytes{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0xF5, 0x0D},
         true);
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0], (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34}));
    EXPECT_EQ(Parser.Pending(), 0u);
    EXPECT_EQ(Parser.ExpectedLength(), 0);
}

TEST_F(StreamParserTest, BinaryAnswerProcedure2) {
    Feed(Bytes{0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D}, true);
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0], (Bytes{0x00, 0xA5}));
}

TEST_F(StreamParserTest, BinaryFrameWithCrInsideDataTakenWhole) {
    // Value 0x0D0D inside the data, then a checksum; fed byte by byte.
    Bytes frame{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x0D, 0x0D, 0x0D, 0x0D};
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < frame.size(); ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
    frame.push_back(sum);
    frame.push_back(0x0D);
    for (std::uint8_t b : frame) Feed(Bytes{b}, true);
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0], (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x0D, 0x0D, 0x0D, 0x0D}));
    EXPECT_EQ(Sink.Decisions, 1);
}

TEST_F(StreamParserTest, BinaryLengthByteEqualToCr) {
    // Length 0x000D: the length byte itself is 0x0D and must not end the frame.
    Bytes frame{0x02, 0x00, 0x0D, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0x56};
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < frame.size(); ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
    frame.push_back(sum);
    frame.push_back(0x0D);
    Feed(frame, true);
    ASSERT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Frames[0].size(), 11u);
}

TEST_F(StreamParserTest, BinaryWrongChecksumDropped) {
    Feed(Bytes{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0xF4, 0x0D},
         true);
    EXPECT_TRUE(Sink.Frames.empty());
    EXPECT_EQ(Sink.Decisions, 1);
    EXPECT_EQ(Parser.Pending(), 0u);
}

TEST_F(StreamParserTest, BinaryHandshakeAndDiscards) {
    Feed(Bytes{ACK, CR}, true);
    ASSERT_EQ(Sink.Replies.size(), 1u);
    EXPECT_EQ(Sink.Replies[0], (Bytes{0x05, 0x01, 0x0D}));
    // A CR without a length field discards.
    Feed(Bytes{0x41, 0x42, CR}, true);
    EXPECT_EQ(Sink.Decisions, 2);
    EXPECT_EQ(Parser.Pending(), 0u);
    // A length shorter than 5 never completes: the CR past it discards.
    Feed(Bytes{0x02, 0x00, 0x02, 0x00, 0xA5, 0x0D}, true);
    EXPECT_TRUE(Sink.Frames.empty());
    EXPECT_EQ(Sink.Decisions, 3);
    EXPECT_EQ(Parser.Pending(), 0u);
}

TEST_F(StreamParserTest, AccumulatorBoundedOnStreamWithoutCr) {
    const Bytes chunk(MessageBufferSize, 'A');
    for (int i = 0; i < 10; ++i) {
        Feed(chunk);
        EXPECT_LE(Parser.Pending(), TStreamParser::AccumulatorLimit);
    }
    EXPECT_GT(Sink.Decisions, 0);
    // A chunk longer than one message buffer is read in pieces: a frame at its end is
    // still taken.
    Parser.Clear();
    const int decisions = Sink.Decisions;
    Feed(Cat(Bytes(MessageBufferSize + 100, 'B'), AsciiFrame("00A5D6")));
    EXPECT_EQ(Sink.Frames.size(), 1u);
    EXPECT_EQ(Sink.Decisions, decisions + 1);
    EXPECT_EQ(Parser.Pending(), 0u);
    Sink.Frames.clear();
    // After the garbage a real frame still gets through.
    Parser.Clear();
    Feed(AsciiFrame("00A5D6"));
    EXPECT_EQ(Sink.Frames.size(), 1u);
}

TEST_F(StreamParserTest, ClearForgetsPartialFrame) {
    Feed(Bytes{0x02, 0x00, 0x0C, 0xFF}, true);
    EXPECT_GT(Parser.Pending(), 0u);
    Parser.Clear();
    EXPECT_EQ(Parser.Pending(), 0u);
    Feed(Bytes{0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D}, true);
    EXPECT_EQ(Sink.Frames.size(), 1u);
}

} // namespace
} // namespace dravon
