// Request frames and answer checks as literal bytes on the wire.
#include "comm/HProtocol.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::Ascii;

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
    Bytes large{0x02, 0x00, 0xE4, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 55};
    auto sum = static_cast<std::uint8_t>(0xE4 + 0xFF + 0xFF + 0xA4 + 55);
    for (int i = 0; i < 55; ++i) {
        large.insert(large.end(), {0x0A, 0x00, 0x00, 0x10});
        sum = static_cast<std::uint8_t>(sum + 0x0A + 0x10);
    }
    large.insert(large.end(), {sum, CR});
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

} // namespace
} // namespace dravon
