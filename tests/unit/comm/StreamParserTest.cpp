// Reassembly of serial-format frames from a byte stream, fed the way a port delivers it.
#include "comm/StreamParser.h"

#include "comm/HProtocol.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::Ascii;
using test::Cat;

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

// One stream per row, fed in pieces of Chunk bytes (0: whole): the payloads handed on,
// the handshake replies queued, NAKs, decisions and the bytes left pending.
TEST_F(StreamParserTest, StreamsAsLiteralBytes) {
    struct TRow {
        const char* Name;
        bool Binary;
        bool Station;
        std::size_t Chunk;
        Bytes Input;
        std::vector<Bytes> Frames;
        std::vector<Bytes> Replies;
        int Naks;
        int Decisions;
        std::size_t Pending;
    };
    const Bytes random{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34};
    // clang-format off
    const TRow rows[] = {
        {"ascii answer", false, false, 0, Ascii("FFFF000000A40001123438"), {random}, {}, 0, 1, 0},
        {"ascii in pieces, garbage before", false, false, 3,
         Cat(Bytes{'x', 'y', 0x0A}, Ascii("05FFFF000000A0123456789ABCDEF0B0")),
         {{0x05, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}}, {}, 0, 1, 0},
        {"bytes after a frame dropped", false, false, 0, Cat(Ascii("00A5D6"), Ascii("00A5D6")),
         {{0x00, 0xA5}}, {}, 0, 1, 0},
        {"ascii wrong checksum", false, false, 0, Ascii("FFFF000000A40001123439"), {}, {}, 0, 1, 0},
        {"ascii rejection", false, false, 0, Ascii("FFFF000001A40715"),
         {{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x07}}, {}, 0, 1, 0},
        {"ascii unfinished", false, false, 0, Bytes{STX, 'F', 'F'}, {}, {}, 0, 0, 3},
        {"ascii odd character count", false, false, 0, Ascii("FFFF000000A5D"), {}, {}, 0, 1, 0},
        {"ack and eot handshakes", false, false, 2, Bytes{ACK, CR, EOT, CR}, {},
         {{0x05, 0x30, 0x31, 0x0D}, {0x05, 0x30, 0x31, 0x0D}}, 0, 2, 0},
        {"station handshake", false, true, 0, Bytes{ACK, 0x30, 0x35, CR}, {},
         {{0x05, 0x32, 0x30, 0x35, 0x31, 0x0D}}, 0, 1, 0},
        {"station handshake without station numbers", false, false, 0, Bytes{ACK, 0x30, 0x35, CR}, {}, {}, 0, 1, 0},
        {"nak", false, false, 0, Bytes{NAK, 0x30, CR}, {}, {}, 1, 1, 0},
        {"nak with CR not third", false, false, 0, Bytes{NAK, 0x30, 0x31, CR}, {}, {}, 0, 1, 0},
        {"binary answer", true, false, 0,
         Bytes{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0xF5, 0x0D},
         {random}, {}, 0, 1, 0},
        {"binary procedure 2", true, false, 0, Bytes{0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D},
         {{0x00, 0xA5}}, {}, 0, 1, 0},
        {"binary CR inside the data, byte by byte", true, false, 1,
         Bytes{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x0D, 0x0D, 0x0D, 0x0D, 0xE2, 0x0D},
         {{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x0D, 0x0D, 0x0D, 0x0D}}, {}, 0, 1, 0},
        {"binary length byte equal to CR", true, false, 0,
         Bytes{0x02, 0x00, 0x0D, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0x56, 0x4C, 0x0D},
         {{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0x56}}, {}, 0, 1, 0},
        {"binary wrong checksum", true, false, 0,
         Bytes{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01, 0x12, 0x34, 0xF4, 0x0D},
         {}, {}, 0, 1, 0},
        {"binary handshake", true, false, 0, Bytes{ACK, CR}, {}, {{0x05, 0x01, 0x0D}}, 0, 1, 0},
        {"binary CR without a length", true, false, 0, Bytes{0x41, 0x42, CR}, {}, {}, 0, 1, 0},
        {"binary length below 5", true, false, 0, Bytes{0x02, 0x00, 0x02, 0x00, 0xA5, 0x0D}, {}, {}, 0, 1, 0},
    };
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TStreamParser parser;
        TRecordingSink sink;
        const std::size_t chunk = row.Chunk ? row.Chunk : row.Input.size();
        for (std::size_t at = 0; at < row.Input.size(); at += chunk) {
            const auto end = row.Input.begin() + static_cast<long>(std::min(at + chunk, row.Input.size()));
            parser.ParseStream(Bytes(row.Input.begin() + static_cast<long>(at), end), row.Binary, row.Station,
                               sink);
            // Nothing is handed on before the last piece.
            if (at + chunk < row.Input.size()) {
                EXPECT_TRUE(sink.Frames.empty()) << at;
            }
        }
        EXPECT_EQ(std::tie(sink.Frames, sink.Replies, sink.Naks, sink.Decisions),
                  std::tie(row.Frames, row.Replies, row.Naks, row.Decisions));
        EXPECT_EQ(parser.Pending(), row.Pending);
        if (row.Binary && row.Pending == 0) {
            EXPECT_EQ(parser.ExpectedLength(), 0);
        }
    }
}

TEST_F(StreamParserTest, AccumulatorBoundedOnStreamWithoutCrAndClearForgetsPartialFrames) {
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
    Feed(Cat(Bytes(MessageBufferSize + 100, 'B'), Ascii("00A5D6")));
    EXPECT_EQ(std::tuple(Sink.Frames.size(), Sink.Decisions, Parser.Pending()),
              std::tuple(1u, decisions + 1, 0u));
    Sink.Frames.clear();
    // After the garbage a real frame still gets through; a binary frame cut short is forgotten.
    Parser.Clear();
    Feed(Ascii("00A5D6"));
    Feed(Bytes{0x02, 0x00, 0x0C, 0xFF}, true);
    EXPECT_GT(Parser.Pending(), 0u);
    Parser.Clear();
    EXPECT_EQ(Parser.Pending(), 0u);
    Feed(Bytes{0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D}, true);
    EXPECT_EQ(Sink.Frames.size(), 2u);
}

} // namespace
} // namespace dravon
