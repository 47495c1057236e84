// The PLC side answering the host's literal frames byte for byte: ASCII and binary framing,
// the ethernet layout, station numbers, procedure 2, the probe and the binary-mode switch.
#include "SimTestFrames.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

using test::Ascii;
using test::Bytes;
using test::TBytes;
using test::TSimHarness;

constexpr std::uint8_t WR = 0x0A;
constexpr std::uint8_t M = 0x04;

TEST(SimAsciiFrames, RandomReadOfABitAndAWord) {
    TSimHarness h(test::SerialLink());
    h.Engine.Station(0).Set(M, 0x123, 1);
    h.Engine.Station(0).Set(WR, 0x10, 0x1234);
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A402040001230A000010FD")), Ascii("FFFF000000A40001123438"));
    EXPECT_EQ(h.Engine.Stats().RandomReads, 1u);
    EXPECT_EQ(h.Engine.Stats().Answers, 1u);
}

TEST(SimAsciiFrames, BlockReadWithStationNumberOnAMultidropLink) {
    TSimLinkConfig link = test::SerialLink();
    link.MultiDrop = true;
    link.Stations = {5};
    TSimHarness h(link);
    h.Engine.Station(5).Set(WR, 0x10, 0x1234);
    h.Engine.Station(5).Set(WR, 0x11, 0x5678);
    h.Engine.Station(5).Set(WR, 0x12, 0x9ABC);
    h.Engine.Station(5).Set(WR, 0x13, 0xDEF0);
    EXPECT_EQ(h.Send(Ascii("205FFFF0000A00A00001004D6")), Ascii("05FFFF000000A0123456789ABCDEF0B0"));

    // Station 6 is another PLC on the bus: this one keeps quiet.
    EXPECT_TRUE(h.Send(Ascii("206FFFF0000A00A00001004D7")).empty());
    EXPECT_EQ(h.Engine.Stats().OtherStations, 1u);
}

TEST(SimAsciiFrames, BlockReadWithoutStationNumber) {
    TSimHarness h(test::SerialLink());
    h.Engine.Station(0).Set(WR, 0x10, 0x1234);
    h.Engine.Station(0).Set(WR, 0x11, 0x5678);
    h.Engine.Station(0).Set(WR, 0x12, 0x9ABC);
    h.Engine.Station(0).Set(WR, 0x13, 0xDEF0);
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A00A0000100471")), Ascii("FFFF000000A0123456789ABCDEF04B"));
}

TEST(SimAsciiFrames, RandomWriteWithProcedure2StoresTheValue) {
    TSimLinkConfig link = test::SerialLink();
    link.Procedure2 = true;
    TSimHarness h(link);
    EXPECT_EQ(h.Send(Ascii("2A5010A000010123465")), Ascii("00A5D6"));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0x1234);
    EXPECT_EQ(h.Engine.Stats().RandomWrites, 1u);
}

TEST(SimAsciiFrames, RandomWriteWithProcedure1EchoesTheLump) {
    TSimHarness h(test::SerialLink());
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A5010A00001012343D")), Ascii("FFFF000000A5AE"));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0x1234);
}

TEST(SimAsciiFrames, UnknownAddressIsRejectedWithCode07) {
    TSimHarness h(test::SerialLink());
    // Code 0x07 is no memory type of the PLC.
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A4010700000067")), Ascii("FFFF000001A40715"));
    EXPECT_EQ(h.Engine.Stats().Rejections, 1u);

    TSimFaults faults;
    faults.RejectExtraByte = true;
    h.Engine.SetFaults(faults);
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A4010700000067")), Ascii("FFFF000001A4070075"));
}

TEST(SimEthernetFrames, RejectedWriteChangesNothing) {
    TSimHarness h(TSimLinkConfig{});
    // WR0010 is fine, the second location (code 0x07) is not: the whole write is refused.
    EXPECT_EQ(h.Send(Bytes({0x00, 0x05, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x02, 0x0A, 0x00,
                            0x00, 0x10, 0x12, 0x34, 0x07, 0x00, 0x00, 0x00, 0x56, 0x78})),
              Bytes({0x00, 0x05, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA5, 0x07}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0);
}

TEST(SimAsciiFrames, WrongChecksumGetsNakAndChangesNothing) {
    TSimHarness h(test::SerialLink());
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A5010A00001012343E")), Bytes({0x15, '1', 0x0D}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0);
    EXPECT_EQ(h.Engine.Stats().BadFrames, 1u);

    TSimLinkConfig quiet = test::SerialLink();
    quiet.NakOnBadFrame = false;
    TSimHarness q(quiet);
    EXPECT_TRUE(q.Send(Ascii("2FFFF0000A5010A00001012343E")).empty());
    EXPECT_EQ(q.Engine.Get(0, WR, 0x10), 0);
}

TEST(SimAsciiFrames, LowercaseHexIsNotUnderstood) {
    TSimHarness h(test::SerialLink());
    // Same frame with lowercase digits: the checksum no longer matches and nothing is written.
    EXPECT_EQ(h.Send(Ascii("2ffff0000a5010a00001012343D")), Bytes({0x15, '1', 0x0D}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0);
}

TEST(SimAsciiFrames, FrameArrivingByteByByteAndNoiseBeforeIt) {
    TSimHarness h(test::SerialLink());
    h.Engine.Station(0).Set(M, 0x123, 1);
    h.Engine.Station(0).Set(WR, 0x10, 0x1234);
    TBytes request = Bytes({0xFF, 0x00, 'Z'});
    TBytes frame = Ascii("2FFFF0000A402040001230A000010FD");
    request.insert(request.end(), frame.begin(), frame.end());
    EXPECT_EQ(h.Trickle(request), Ascii("FFFF000000A40001123438"));
    // Two frames in one piece: two answers in order.
    TBytes both = frame;
    both.insert(both.end(), frame.begin(), frame.end());
    TBytes answer = Ascii("FFFF000000A40001123438");
    TBytes twice = answer;
    twice.insert(twice.end(), answer.begin(), answer.end());
    EXPECT_EQ(h.Send(both), twice);
}

TEST(SimBinaryFrames, BinaryModeSwitchThenBinaryRandomRead) {
    TSimHarness h(test::SerialLink());
    h.Engine.Station(0).Set(M, 0x123, 1);
    h.Engine.Station(0).Set(WR, 0x10, 0x1234);
    TBytes binaryRead = Bytes({0x02, 0x00, 0x10, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x02, 0x04, 0x00, 0x01, 0x23,
                               0x0A, 0x00, 0x00, 0x10, 0xF6, 0x0D});
    // Before the switch the port speaks ASCII only: a binary frame is noise.
    EXPECT_TRUE(h.Send(binaryRead).empty());
    EXPECT_FALSE(h.Session.BinaryMode());

    // The fixed 17-byte switch frame; its answer still comes in ASCII.
    TBytes sw = Ascii("0FFFF00001900D2");
    ASSERT_EQ(sw.size(), 17u);
    EXPECT_EQ(h.Send(sw), Ascii("FFFF00000019A2"));
    EXPECT_TRUE(h.Session.BinaryMode());
    EXPECT_EQ(h.Engine.Stats().BinarySwitches, 1u);

    EXPECT_EQ(h.Send(binaryRead), Bytes({0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x01,
                                         0x12, 0x34, 0xF5, 0x0D}));
    // ASCII is still understood after the switch.
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A402040001230A000010FD")), Ascii("FFFF000000A40001123438"));
}

TEST(SimBinaryFrames, AsciiOnlyPortRefusesTheSwitch) {
    TSimLinkConfig link = test::SerialLink();
    link.Framing = TSimFraming::Ascii;
    TSimHarness h(link);
    EXPECT_EQ(h.Send(Ascii("0FFFF00001900D2")), Ascii("FFFF00000119A3"));
    EXPECT_FALSE(h.Session.BinaryMode());
}

TEST(SimBinaryFrames, ProbeReturnsASwitchedPortToAscii) {
    TSimHarness h(test::SerialLink());
    EXPECT_EQ(h.Send(Ascii("0FFFF00001900D2")), Ascii("FFFF00000019A2"));
    ASSERT_TRUE(h.Session.BinaryMode());
    EXPECT_TRUE(h.Send(Bytes({0x15, 0x30, 0x46, 0x46, 0x0D})).empty()); // the probe is never answered
    EXPECT_EQ(h.Engine.Stats().Probes, 1u);
    EXPECT_FALSE(h.Session.BinaryMode());
}

TEST(SimBinaryFrames, RandomWriteWithProcedure2) {
    TSimLinkConfig link = test::SerialLink();
    link.Procedure2 = true;
    link.Framing = TSimFraming::Binary;
    TSimHarness h(link);
    EXPECT_EQ(h.Send(Bytes({0x02, 0x00, 0x0A, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34, 0x10, 0x0D})),
              Bytes({0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0x1234);
}

TEST(SimBinaryFrames, CarriageReturnInsideTheDataBothWays) {
    TSimLinkConfig link = test::SerialLink();
    link.Framing = TSimFraming::Binary;
    TSimHarness h(link);
    // Write 0x0D0D to WR0010, delivered byte by byte so that every 0x0D could end it early.
    EXPECT_EQ(h.Trickle(Bytes({0x02, 0x00, 0x0E, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10,
                               0x0D, 0x0D, 0xE6, 0x0D})),
              Bytes({0x02, 0x00, 0x08, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA5, 0xAB, 0x0D}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0x0D0D);
    EXPECT_EQ(h.Send(Bytes({0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10,
                            0xC9, 0x0D})),
              Bytes({0x02, 0x00, 0x0A, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x0D, 0x0D, 0xC6, 0x0D}));
}

TEST(SimBinaryFrames, WrongChecksumOrLengthIsDroppedSilently) {
    TSimLinkConfig link = test::SerialLink();
    link.Framing = TSimFraming::Binary;
    TSimHarness h(link);
    EXPECT_TRUE(h.Send(Bytes({0x02, 0x00, 0x0A, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34, 0x11, 0x0D}))
                    .empty());
    // Length one short of the payload: the byte where CR should be is not CR.
    EXPECT_TRUE(h.Send(Bytes({0x02, 0x00, 0x09, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34, 0x10, 0x0D}))
                    .empty());
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0);
    EXPECT_GE(h.Engine.Stats().BadFrames, 2u);
    EXPECT_EQ(h.Engine.Stats().RandomWrites, 0u);
}

TEST(SimEthernetFrames, BlockReadOfBitsEchoesTheSequenceNumber) {
    TSimLinkConfig link; // protocol 3
    TSimHarness h(link);
    h.Engine.Station(0).Set(M, 0x120, 1);
    h.Engine.Station(0).Set(M, 0x12F, 1);
    h.Engine.Station(0).Set(M, 0x125, 1);
    EXPECT_EQ(h.Send(Bytes({0x00, 0x07, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x01, 0x20, 0x10})),
              Bytes({0x00, 0x07, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0, 0x84, 0x01}));
}

TEST(SimEthernetFrames, BitBlockReadRoundsUpToWholeBytesAndZeroCountIsRejected) {
    TSimHarness h(TSimLinkConfig{});
    h.Engine.Station(0).Set(M, 0x0, 1);
    h.Engine.Station(0).Set(M, 0x9, 1);
    h.Engine.Station(0).Set(M, 0xA, 1); // just past the block: not reported
    EXPECT_EQ(h.Send(Bytes({0x00, 0x11, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x00, 0x00, 0x0A})),
              Bytes({0x00, 0x11, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0, 0x80, 0x40}));
    EXPECT_EQ(h.Send(Bytes({0x00, 0x12, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x00, 0x00, 0x00})),
              Bytes({0x00, 0x12, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA0, 0x07}));
    // 240 bits: 30 bytes of data.
    TBytes big = h.Send(Bytes({0x00, 0x13, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x00, 0x00, 0xF0}));
    ASSERT_EQ(big.size(), 8u + 30u);
    EXPECT_EQ(big[8], 0x80);
    EXPECT_EQ(big[9], 0x60);
}

TEST(SimEthernetFrames, RequestsSplitAndJoinedOnAStream) {
    TSimHarness h(TSimLinkConfig{});
    h.Engine.Station(0).Set(WR, 0x10, 0xBEEF);
    TBytes a = Bytes({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10});
    TBytes b = Bytes({0x00, 0x02, 0x12, 0x34, 0x56, 0x78, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x11, 0x00, 0x2A});
    TBytes joined = a;
    joined.insert(joined.end(), b.begin(), b.begin() + 5);
    EXPECT_EQ(h.Send(joined), Bytes({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0xBE, 0xEF}));
    EXPECT_EQ(h.Send(TBytes(b.begin() + 5, b.end())),
              Bytes({0x00, 0x02, 0x12, 0x34, 0x56, 0x78, 0x00, 0xA5}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x11), 0x2A);
}

TEST(SimEthernetFrames, BlockReadPastTheEndOfAMemoryTypeIsRejected) {
    TSimHarness h(TSimLinkConfig{});
    // WR reaches 0xFFFF: 4 words from 0xFFFE run past it.
    EXPECT_EQ(h.Send(Bytes({0x00, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x0A, 0x00, 0xFF, 0xFE, 0x04})),
              Bytes({0x00, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA0, 0x07}));
    // Two words end exactly at the last address.
    h.Engine.Station(0).Set(WR, 0xFFFF, 0x0102);
    EXPECT_EQ(h.Send(Bytes({0x00, 0x04, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x0A, 0x00, 0xFF, 0xFE, 0x02})),
              Bytes({0x00, 0x04, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0, 0x00, 0x00, 0x01, 0x02}));
}

TEST(SimEthernetFrames, UnknownCommandIsNoiseAndTheStreamRecovers) {
    TSimHarness h(TSimLinkConfig{});
    EXPECT_TRUE(h.Send(Bytes({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x77, 0x01})).empty());
    EXPECT_EQ(h.Engine.Stats().BadFrames, 1u);
    EXPECT_EQ(h.Send(Bytes({0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10})),
              Bytes({0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00}));
}

TEST(SimHandshake, AsciiProcedureWithAndWithoutStationNumbers) {
    TSimLinkConfig link = test::SerialLink();
    link.Handshake = true;
    TSimHarness h(link);
    h.Engine.Station(0).Set(WR, 0x10, 0x1234);
    h.Engine.Station(0).Set(WR, 0x11, 0x5678);
    h.Engine.Station(0).Set(WR, 0x12, 0x9ABC);
    h.Engine.Station(0).Set(WR, 0x13, 0xDEF0);
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A00A0000100471")), Bytes({0x06, 0x0D}));
    EXPECT_TRUE(h.Session.HandshakePending());
    EXPECT_TRUE(h.Send(Bytes({0x05, '2', '0', '5', '1', 0x0D})).empty()); // asks for station 5, not us
    EXPECT_TRUE(h.Session.HandshakePending());
    EXPECT_EQ(h.Send(Bytes({0x05, 0x30, 0x31, 0x0D})), Ascii("FFFF000000A0123456789ABCDEF04B"));
    EXPECT_FALSE(h.Session.HandshakePending());
    EXPECT_TRUE(h.Send(Bytes({0x05, 0x30, 0x31, 0x0D})).empty()); // nothing left to hand over

    TSimLinkConfig multi = link;
    multi.MultiDrop = true;
    multi.Stations = {5};
    TSimHarness m(multi);
    m.Engine.Station(5).Set(WR, 0x10, 0x1234);
    m.Engine.Station(5).Set(WR, 0x11, 0x5678);
    m.Engine.Station(5).Set(WR, 0x12, 0x9ABC);
    m.Engine.Station(5).Set(WR, 0x13, 0xDEF0);
    EXPECT_EQ(m.Send(Ascii("205FFFF0000A00A00001004D6")), Bytes({0x06, 0x30, 0x35, 0x0D}));
    EXPECT_TRUE(m.Send(Bytes({0x05, 0x32, 0x30, 0x36, 0x31, 0x0D})).empty()); // station 6 asked
    EXPECT_EQ(m.Send(Bytes({0x05, 0x32, 0x30, 0x35, 0x31, 0x0D})), Ascii("05FFFF000000A0123456789ABCDEF0B0"));
}

TEST(SimHandshake, BinaryProcedure) {
    TSimLinkConfig link = test::SerialLink();
    link.Handshake = true;
    link.Framing = TSimFraming::Binary;
    link.Procedure2 = true;
    TSimHarness h(link);
    EXPECT_EQ(h.Send(Bytes({0x02, 0x00, 0x0A, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34, 0x10, 0x0D})),
              Bytes({0x06, 0x0D}));
    EXPECT_EQ(h.Engine.Get(0, WR, 0x10), 0x1234); // executed at once, only the answer waits
    EXPECT_EQ(h.Send(Bytes({0x05, 0x01, 0x0D})), Bytes({0x02, 0x00, 0x04, 0x00, 0xA5, 0xA9, 0x0D}));
}

TEST(SimAccumulator, EndlessStreamWithoutFrameEndIsBounded) {
    TSimHarness h(test::SerialLink());
    TBytes noise(TSimSession::kMaxAccumulated + 100, 'A');
    noise[0] = 0x02; // a frame start that never ends
    EXPECT_TRUE(h.Send(noise).empty());
    EXPECT_GE(h.Engine.Stats().BadFrames, 1u);
    h.Engine.Station(0).Set(M, 0x123, 1);
    h.Engine.Station(0).Set(WR, 0x10, 0x1234);
    EXPECT_EQ(h.Send(Ascii("2FFFF0000A402040001230A000010FD")), Ascii("FFFF000000A40001123438"));
}

} // namespace
} // namespace dravon
