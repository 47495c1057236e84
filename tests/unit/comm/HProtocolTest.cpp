// Request frames, answer checks, the stream parser and the serial spy's lines: literal bytes on the wire.
#include "comm/HProtocol.h"
#include "comm/SerialSpy.h"
#include "comm/StreamParser.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::Ascii;
using test::Cat;

constexpr TWireLocation M123{0x04, 0x00123};
constexpr TWireLocation WR10{0x0A, 0x0010};

TEST(HProtocol, RequestFrames) {
    struct TRow {
        const char* Name;
        TFrameOptions Options;
        std::function<void(THFrame&)> Put;
        Bytes Expected;
    };
    const TWireLocation two[] = {M123, WR10};
    const TWireWrite write[] = {{WR10, 0x1234}};
    const std::vector<TWireLocation> many(55, WR10);
    auto randomRead = [&](THFrame& f) { PutRandomRead(f, two); };
    auto oneWord = [&](THFrame& f) { PutRandomRead(f, std::span<const TWireLocation>(&WR10, 1)); };
    auto randomWrite = [&](THFrame& f) { PutRandomWrite(f, write); };
    std::string locations55;
    for (int i = 0; i < 55; ++i) locations55 += "0A000010";
    const Bytes large = test::Hex("0200E4FFFF0000A437" + locations55 + "530D");
    // clang-format off
    const TRow rows[] = {
        {"random read, ascii", {}, randomRead, Ascii("2FFFF0000A402040001230A000010FD")},
        {"random read, binary", {.Binary = true}, randomRead,
         {0x02, 0x00, 0x10, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x02, 0x04, 0x00, 0x01, 0x23, 0x0A, 0x00, 0x00, 0x10, 0xF6, 0x0D}},
        {"block read, ascii, multidrop station 5", {.MultiDrop = true, .Station = 5},
         [](THFrame& f) { PutBlockRead(f, WR10, 4); }, Ascii("205FFFF0000A00A00001004D6")},
        {"random write, procedure 2, ascii", {.TrnsProc = true}, randomWrite, Ascii("2A5010A000010123465")},
        {"random write, procedure 2, binary", {.Binary = true, .TrnsProc = true}, randomWrite,
         {0x02, 0x00, 0x0A, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34, 0x10, 0x0D}},
        // Ethernet never uses ASCII or serial framing.
        {"ethernet block read: bare payload with sequence",
         {.Protocol = FrameProtocolEthernet, .MultiDrop = true, .Sequence = 7},
         [](THFrame& f) { PutBlockRead(f, {0x04, 0x00120}, 16); },
         {0x00, 0x07, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x01, 0x20, 0x10}},
        {"station number protocol, multidrop, own Lump",
         {.Protocol = FrameProtocolStationNumber, .Binary = true, .MultiDrop = true, .Station = 31, .Lump = 0x12345678},
         oneWord, {0x02, 0x00, 0x0D, 0x31, 0x12, 0x34, 0x56, 0x78, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x11, 0x0D}},
        {"station out of range sent as 0", {.MultiDrop = true, .Station = 32}, oneWord,
         Ascii("200FFFF0000A4010A000010D2")},
        // The high address byte only for the large address types (X Y L M WN EX EY); L beyond
        // FFFF kept apart.
        {"address bytes", {.Protocol = FrameProtocolEthernet},
         [](THFrame& f) {
             const TWireLocation locations[] = {{0x00, 0x12345}, {0x20, 0x1ABCD}, {0x0A, 0x12345}, {0x03, 0x73FFF},
                                                {0x01, 0x4FF5F}, {0x04, 0x7FFFF}, {0x30, 0x5A7FF}, {0x31, 0x5A7FF}};
             PutRandomRead(f, locations);
         },
         {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x08, 0x00, 0x01, 0x23, 0x45, 0x20, 0x01, 0xAB, 0xCD, 0x0A, 0x00,
          0x23, 0x45, 0x03, 0x07, 0x3F, 0xFF, 0x01, 0x04, 0xFF, 0x5F, 0x04, 0x07, 0xFF, 0xFF, 0x30, 0x05, 0xA7, 0xFF,
          0x31, 0x05, 0xA7, 0xFF}},
        {"55 locations in binary: the length field", {.Binary = true},
         [&](THFrame& f) { PutRandomRead(f, many); }, large},
    };
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        THFrame frame;
        BuildHeader(frame, row.Options);
        const bool serial = row.Options.Protocol != FrameProtocolEthernet;
        EXPECT_EQ(std::pair(frame.Ascii, frame.Serial), std::pair(serial && !row.Options.Binary, serial));
        row.Put(frame);
        FinishFrame(frame);
        EXPECT_EQ(frame.Bytes, row.Expected);
    }
    EXPECT_EQ((std::pair<int, int>(StationBcd(10), StationBcd(-1))), std::pair(0x10, 0x00));
    for (auto [c, v] : {std::pair{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}}) EXPECT_EQ(HexDigitValue(c), v);
    EXPECT_EQ(ProbeFrame(), (Bytes{0x15, 0x30, 0x46, 0x46, 0x0D}));
    EXPECT_EQ(BinaryModeSwitchFrame(), Ascii("0FFFF00001900D2"));
}

TEST(HProtocol, AnswerLayoutAndHeaderChecks) {
    struct TOffsetRow {
        TResponseLayout Layout;
        int Offset;
    };
    // clang-format off
    const TOffsetRow offsets[] = {
        {{}, 6}, {{.MultiDrop = true}, 7}, {{.Protocol = FrameProtocolStationNumber}, 7},
        {{.Protocol = FrameProtocolStationNumber, .TrnsProc = true}, 7}, // no Lump only on a serial driver
        {{.Protocol = FrameProtocolStationNumber, .SerialDriver = true, .TrnsProc = true}, 3},
        {{.SerialDriver = true, .TrnsProc = true}, 2},
        {{.Protocol = FrameProtocolEthernet, .SerialDriver = true, .TrnsProc = true}, 8},
    };
    // clang-format on
    for (const TOffsetRow& row : offsets) EXPECT_EQ(ResponseDataOffset(row.Layout), row.Offset) << row.Offset;

    struct THeaderRow {
        TResponseLayout Layout;
        Bytes Payload;
        bool Matches;
    };
    const TResponseLayout md5{.MultiDrop = true, .Station = 5};
    const TResponseLayout p2{.MultiDrop = true, .TrnsProc = true, .Station = 5}; // station only
    // clang-format off
    const THeaderRow headers[] = {
        {{}, {0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4}, true}, {{}, {0xFF, 0xFF, 0x00, 0x01, 0x00, 0xA4}, false},
        {{}, {0xFF, 0xFF}, false}, {md5, {0x05, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0}, true},
        {md5, {0x06, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0}, false},
        {md5, {0x05, 0xFF, 0xFF, 0x00, 0x01, 0x00, 0xA0}, false},
        {md5, {}, false}, {p2, {0x05, 0x00, 0xA0}, true}, {p2, {0x15, 0x00, 0xA0}, false},
        {{.TrnsProc = true}, {0x00, 0xA5}, true},
    };
    // clang-format on
    for (const THeaderRow& row : headers)
        EXPECT_EQ(SerialHeaderMatches(row.Layout, row.Payload), row.Matches)
            << ::testing::PrintToString(row.Payload);

    EXPECT_TRUE(IsSuccess(0, 0xA0) && IsSuccess(0, 0xA4) && IsSuccess(0, 0xA5));
    EXPECT_FALSE(IsSuccess(0, 0x19) || IsSuccess(1, 0xA4));
    // FFFF0000 01 A4 07: rejection with D = 6; one byte more is not.
    // clang-format off
    const std::pair<Bytes, int> rejections[] = {
        {{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x07}, 6}, {{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x07, 0x00}, -6},
        {{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x06}, -6}, {{0xFF, 0xFF, 0x00, 0x00, 0x02, 0xA4, 0x07}, -6},
        {{0xFF, 0xFF, 0x00, 0x00, 0x01, 0x19, 0x07}, -6}, {{0x01}, -6}, {{0x01, 0xA4, 0x07}, -1}};
    // clang-format on
    for (const auto& [payload, offset] : rejections)
        EXPECT_EQ(IsRejection(payload, std::abs(offset)), offset > 0) << ::testing::PrintToString(payload);
}

TEST(HProtocol, BlockDataWordsAndBits) {
    for (auto [count, bits, length] :
         {std::tuple{4u, false, 8u}, {16u, true, 2u}, {17u, true, 3u}, {240u, true, 30u}, {0u, false, 0u}})
        EXPECT_EQ(BlockDataLength(count, bits), length) << count;
    // Words from 0x10; bits from M120, the most significant bit of the first byte first.
    const Bytes words{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    const Bytes bits{0x80, 0x01};
    struct TRow {
        const Bytes& Data;
        std::uint32_t First, Address;
        bool Bits;
        int Value; // -1: outside the block
    };
    const TRow rows[] = {{words, 0x10, 0x10, false, 0x1234}, {words, 0x10, 0x13, false, 0xDEF0},
                         {words, 0x10, 0x14, false, -1},     {words, 0x10, 0x0F, false, -1},
                         {bits, 0x120, 0x120, true, 1},      {bits, 0x120, 0x121, true, 0},
                         {bits, 0x120, 0x12F, true, 1},      {bits, 0x120, 0x130, true, -1}};
    for (const TRow& row : rows) {
        std::uint16_t value = 0;
        const bool inside = BlockValue(row.Data, row.First, row.Address, row.Bits, value);
        EXPECT_EQ(inside ? value : -1, row.Value) << std::hex << row.Address;
    }
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

// One stream per row, fed in pieces of Chunk bytes (0: whole): the payloads handed on,
// the handshake replies queued, NAKs, decisions and the bytes left pending.
TEST(StreamParserTest, StreamsAsLiteralBytes) {
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

TEST(StreamParserTest, AccumulatorBoundedOnStreamWithoutCrAndClearForgetsPartialFrames) {
    TStreamParser parser;
    TRecordingSink sink;
    const auto feed = [&](const Bytes& bytes, bool binary = false) {
        parser.ParseStream(bytes, binary, false, sink);
    };
    const Bytes chunk(MessageBufferSize, 'A');
    for (int i = 0; i < 10; ++i) {
        feed(chunk);
        EXPECT_LE(parser.Pending(), TStreamParser::AccumulatorLimit);
    }
    EXPECT_GT(sink.Decisions, 0);
    // A chunk longer than one message buffer is read in pieces: a frame at its end is
    // still taken.
    parser.Clear();
    const int decisions = sink.Decisions;
    feed(Cat(Bytes(MessageBufferSize + 100, 'B'), Ascii("00A5D6")));
    EXPECT_EQ(std::tuple(sink.Frames.size(), sink.Decisions, parser.Pending()),
              std::tuple(1u, decisions + 1, 0u));
    sink.Frames.clear();
    // After the garbage a real frame still gets through; a binary frame cut short is forgotten.
    parser.Clear();
    feed(Ascii("00A5D6"));
    feed(Bytes{0x02, 0x00, 0x0C, 0xFF}, true);
    EXPECT_GT(parser.Pending(), 0u);
    parser.Clear();
    EXPECT_EQ(parser.Pending(), 0u);
    feed(Bytes{0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D}, true);
    EXPECT_EQ(sink.Frames.size(), 2u);
}

// 12:34:56.789 on some day.
constexpr TDateTime At = 46000.0 + (12 * 3600 + 34 * 60 + 56) / 86400.0 + 0.789 / 86400.0;

// Bytes below 0x0F show as the character 0xE0 higher (UTF-8 C3 A1 for 0x02, C3 AC for
// 0x0D); 0x0F and above as themselves.
TEST(SerialSpyTest, Lines) {
    EXPECT_EQ(SpyTimeText(46000.0) + SpyTimeText(46000.999999999), "00:00:00:00023:59:59:999");
    // clang-format off
    const std::tuple<bool, std::vector<std::uint8_t>, const char*> rows[] = {
        {true, {0x15, 0x30, 0x46, 0x46, 0x0D}, "[Tx] [12:34:56:789] \x15" "0FF\xC3\xAC  ( 15 30 46 46 0D )"},
        {false, {0x02, 0x41, 0x0D}, "[Rx] [12:34:56:789] \xC3\xA1" "A\xC3\xAC  (02 41 0D )"},
        {false, {0x0F, 0xFF}, "[Rx] [12:34:56:789] \x0F\xC3\xBF  (0F FF )"},
    };
    // clang-format on
    for (const auto& [transmit, bytes, line] : rows) EXPECT_EQ(SerialSpyLine(transmit, At, bytes), line);
}

} // namespace
} // namespace dravon
