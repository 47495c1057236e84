// Request frames and answer checks as literal bytes on the wire.
#include "comm/HProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// STX + characters + CR, the way an ASCII frame is written down.
Bytes AsciiFrame(const std::string& chars) {
    Bytes bytes{STX};
    bytes.insert(bytes.end(), chars.begin(), chars.end());
    bytes.push_back(CR);
    return bytes;
}

constexpr TWireLocation M123{0x04, 0x00123};
constexpr TWireLocation WR10{0x0A, 0x0010};

TEST(HProtocolRequest, RandomReadAsciiStandardProtocol) {
    THFrame frame;
    BuildHeader(frame, TFrameOptions{});
    EXPECT_TRUE(frame.Ascii);
    EXPECT_TRUE(frame.Serial);
    const TWireLocation locations[] = {M123, WR10};
    PutRandomRead(frame, locations);
    FinishFrame(frame);
    EXPECT_EQ(frame.Bytes, AsciiFrame("2FFFF0000A402040001230A000010FD"));
}

TEST(HProtocolRequest, RandomReadBinaryStandardProtocol) {
    THFrame frame;
    TFrameOptions options;
    options.Binary = true;
    BuildHeader(frame, options);
    EXPECT_FALSE(frame.Ascii);
    const TWireLocation locations[] = {M123, WR10};
    PutRandomRead(frame, locations);
    FinishFrame(frame);
    EXPECT_EQ(frame.Bytes, (Bytes{0x02, 0x00, 0x10, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x02, 0x04, 0x00, 0x01,
                                  0x23, 0x0A, 0x00, 0x00, 0x10, 0xF6, 0x0D}));
}

TEST(HProtocolRequest, BlockReadAsciiMultidropStation5) {
    THFrame frame;
    TFrameOptions options;
    options.MultiDrop = true;
    options.Station = 5;
    BuildHeader(frame, options);
    PutBlockRead(frame, WR10, 4);
    FinishFrame(frame);
    EXPECT_EQ(frame.Bytes, AsciiFrame("205FFFF0000A00A00001004D6"));
}

TEST(HProtocolRequest, RandomWriteProcedure2AsciiAndBinary) {
    const TWireWrite writes[] = {{WR10, 0x1234}};
    THFrame frame;
    TFrameOptions options;
    options.TrnsProc = true;
    BuildHeader(frame, options);
    PutRandomWrite(frame, writes);
    FinishFrame(frame);
    EXPECT_EQ(frame.Bytes, AsciiFrame("2A5010A000010123465"));

    options.Binary = true;
    BuildHeader(frame, options);
    PutRandomWrite(frame, writes);
    FinishFrame(frame);
    EXPECT_EQ(frame.Bytes,
              (Bytes{0x02, 0x00, 0x0A, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34, 0x10, 0x0D}));
}

TEST(HProtocolRequest, EthernetBlockReadIsBarePayloadWithSequence) {
    THFrame frame;
    TFrameOptions options;
    options.Protocol = FrameProtocolEthernet;
    options.Binary = false; // ethernet never uses ASCII or serial framing
    options.MultiDrop = true;
    options.Sequence = 7;
    BuildHeader(frame, options);
    EXPECT_FALSE(frame.Ascii);
    EXPECT_FALSE(frame.Serial);
    PutBlockRead(frame, {0x04, 0x00120}, 16);
    FinishFrame(frame);
    EXPECT_EQ(frame.Bytes, (Bytes{0x00, 0x07, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x01, 0x20, 0x10}));
}

TEST(HProtocolRequest, StationNumberProtocolWithMultidropAndCustomLump) {
    THFrame frame;
    TFrameOptions options;
    options.Protocol = FrameProtocolStationNumber;
    options.MultiDrop = true;
    options.Station = 31;
    options.Lump = 0x12345678;
    options.Binary = true;
    BuildHeader(frame, options);
    PutRandomRead(frame, std::span<const TWireLocation>(&WR10, 1));
    FinishFrame(frame);
    // 02 len(2) 31 12 34 56 78 A4 01 0A 00 00 10 sum 0D
    Bytes expected{0x02, 0x00, 0x0D, 0x31, 0x12, 0x34, 0x56, 0x78, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10};
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < expected.size(); ++i) sum = static_cast<std::uint8_t>(sum + expected[i]);
    expected.push_back(sum);
    expected.push_back(0x0D);
    EXPECT_EQ(frame.Bytes, expected);
}

TEST(HProtocolRequest, StationNumberOutOfRangeIsSentAsZero) {
    EXPECT_EQ(StationBcd(0), 0x00);
    EXPECT_EQ(StationBcd(5), 0x05);
    EXPECT_EQ(StationBcd(10), 0x10);
    EXPECT_EQ(StationBcd(31), 0x31);
    EXPECT_EQ(StationBcd(32), 0x00);
    EXPECT_EQ(StationBcd(-1), 0x00);
}

TEST(HProtocolRequest, HighAddressByteOnlyForLargeAddressTypes) {
    THFrame frame;
    TFrameOptions options;
    options.Protocol = FrameProtocolEthernet;
    BuildHeader(frame, options);
    frame.Bytes.clear();
    PutLocation(frame, {0x00, 0x12345}); // X
    PutLocation(frame, {0x20, 0x1ABCD}); // WN
    PutLocation(frame, {0x0A, 0x12345}); // WR: bits 16-23 are not sent
    PutLocation(frame, {0x03, 0x73FFF}); // L reaches beyond 0xFFFF: kept apart from L0000-LFFFF
    EXPECT_EQ(frame.Bytes, (Bytes{0x00, 0x01, 0x23, 0x45, 0x20, 0x01, 0xAB, 0xCD, 0x0A, 0x00, 0x23, 0x45,
                                  0x03, 0x07, 0x3F, 0xFF}));
}

TEST(HProtocolRequest, PutByteUppercaseHexInAscii) {
    THFrame frame;
    frame.Ascii = true;
    PutByte(frame, 0xAF);
    PutByte(frame, 0x09);
    EXPECT_EQ(frame.Bytes, (Bytes{'A', 'F', '0', '9'}));
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
}

TEST(HProtocolRequest, BinaryLengthFieldCarriesLargeFrames) {
    // 55 locations in binary mode: 4 + 2 + 55 * 4 = 226 payload bytes.
    std::vector<TWireLocation> locations(55, WR10);
    THFrame frame;
    TFrameOptions options;
    options.Binary = true;
    BuildHeader(frame, options);
    PutRandomRead(frame, locations);
    FinishFrame(frame);
    ASSERT_EQ(frame.Bytes.size(), 1u + 2u + 226u + 1u + 1u);
    EXPECT_EQ(frame.Bytes[1], 0x00);
    EXPECT_EQ(frame.Bytes[2], 228);
    EXPECT_EQ(frame.Bytes[8], 55);
    EXPECT_EQ(frame.Bytes.back(), CR);
}

TEST(HProtocolControlFrames, ProbeAndBinarySwitch) {
    EXPECT_EQ(ProbeFrame(), (Bytes{0x15, 0x30, 0x46, 0x46, 0x0D}));
    EXPECT_EQ(BinaryModeSwitchFrame(), AsciiFrame("0FFFF00001900D2"));
    // The switch frame is an ordinary ASCII frame with mode character '0': its checksum
    // is the sum of the characters after STX.
    const Bytes& sw = BinaryModeSwitchFrame();
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i + 3 < sw.size(); ++i) sum = static_cast<std::uint8_t>(sum + sw[i]);
    EXPECT_EQ(sum, 0xD2);
}

TEST(HProtocolResponse, DataOffsetByProtocolAndPort) {
    TResponseLayout layout;
    EXPECT_EQ(ResponseDataOffset(layout), 6);
    layout.MultiDrop = true;
    EXPECT_EQ(ResponseDataOffset(layout), 7);
    layout.MultiDrop = false;
    layout.Protocol = FrameProtocolStationNumber;
    EXPECT_EQ(ResponseDataOffset(layout), 7);
    layout.TrnsProc = true;
    EXPECT_EQ(ResponseDataOffset(layout), 7); // procedure 2 drops the Lump only on a serial driver
    layout.SerialDriver = true;
    EXPECT_EQ(ResponseDataOffset(layout), 3);
    layout.Protocol = FrameProtocolStandard;
    EXPECT_EQ(ResponseDataOffset(layout), 2);
    layout.Protocol = FrameProtocolEthernet;
    EXPECT_EQ(ResponseDataOffset(layout), 8);
}

TEST(HProtocolResponse, HeaderCheckStationAndLump) {
    TResponseLayout layout;
    const Bytes good{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4};
    EXPECT_TRUE(SerialHeaderMatches(layout, good));
    EXPECT_FALSE(SerialHeaderMatches(layout, Bytes{0xFF, 0xFF, 0x00, 0x01, 0x00, 0xA4}));
    EXPECT_FALSE(SerialHeaderMatches(layout, Bytes{0xFF, 0xFF}));

    layout.MultiDrop = true;
    layout.Station = 5;
    EXPECT_TRUE(SerialHeaderMatches(layout, Bytes{0x05, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0}));
    EXPECT_FALSE(SerialHeaderMatches(layout, Bytes{0x06, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0}));
    EXPECT_FALSE(SerialHeaderMatches(layout, Bytes{0x05, 0xFF, 0xFF, 0x00, 0x01, 0x00, 0xA0}));
    EXPECT_FALSE(SerialHeaderMatches(layout, Bytes{}));

    layout.TrnsProc = true; // procedure 2: station only
    EXPECT_TRUE(SerialHeaderMatches(layout, Bytes{0x05, 0x00, 0xA0}));
    EXPECT_FALSE(SerialHeaderMatches(layout, Bytes{0x15, 0x00, 0xA0}));
    layout.MultiDrop = false;
    EXPECT_TRUE(SerialHeaderMatches(layout, Bytes{0x00, 0xA5}));
}

TEST(HProtocolResponse, SuccessAndRejection) {
    EXPECT_TRUE(IsSuccess(0, 0xA0));
    EXPECT_TRUE(IsSuccess(0, 0xA4));
    EXPECT_TRUE(IsSuccess(0, 0xA5));
    EXPECT_FALSE(IsSuccess(0, 0x19));
    EXPECT_FALSE(IsSuccess(1, 0xA4));
    // FFFF0000 01 A4 07: rejection with D = 6; one byte more is not.
    EXPECT_TRUE(IsRejection(Bytes{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x07}, 6));
    EXPECT_FALSE(IsRejection(Bytes{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x07, 0x00}, 6));
    EXPECT_FALSE(IsRejection(Bytes{0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4, 0x06}, 6));
    EXPECT_FALSE(IsRejection(Bytes{0xFF, 0xFF, 0x00, 0x00, 0x02, 0xA4, 0x07}, 6));
    EXPECT_FALSE(IsRejection(Bytes{0xFF, 0xFF, 0x00, 0x00, 0x01, 0x19, 0x07}, 6));
    EXPECT_FALSE(IsRejection(Bytes{0x01}, 6));
    EXPECT_FALSE(IsRejection(Bytes{0x01, 0xA4, 0x07}, 1));
}

TEST(HProtocolResponse, BlockDataWordsAndBits) {
    EXPECT_EQ(BlockDataLength(4, false), 8u);
    EXPECT_EQ(BlockDataLength(16, true), 2u);
    EXPECT_EQ(BlockDataLength(17, true), 3u);
    EXPECT_EQ(BlockDataLength(240, true), 30u);
    EXPECT_EQ(BlockDataLength(0, false), 0u);

    const Bytes words{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    std::uint16_t value = 0;
    ASSERT_TRUE(BlockValue(words, 0x10, 0x10, false, value));
    EXPECT_EQ(value, 0x1234);
    ASSERT_TRUE(BlockValue(words, 0x10, 0x13, false, value));
    EXPECT_EQ(value, 0xDEF0);
    EXPECT_FALSE(BlockValue(words, 0x10, 0x14, false, value));
    EXPECT_FALSE(BlockValue(words, 0x10, 0x0F, false, value));

    // M120 is the most significant bit of the first byte.
    const Bytes bits{0x80, 0x01};
    ASSERT_TRUE(BlockValue(bits, 0x120, 0x120, true, value));
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(BlockValue(bits, 0x120, 0x121, true, value));
    EXPECT_EQ(value, 0);
    ASSERT_TRUE(BlockValue(bits, 0x120, 0x12F, true, value));
    EXPECT_EQ(value, 1);
    EXPECT_FALSE(BlockValue(bits, 0x120, 0x130, true, value));
}

} // namespace
} // namespace dravon
