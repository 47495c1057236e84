#include "opc/OPCDataStream.h"
#include "opc/HResult.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// VT_UI2 (18) holding 0x1234 as its 16-byte record.
std::array<std::uint8_t, 16> Ui2Record() {
    return {0x12, 0x00, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0};
}

TEST(OPCDataStreamTest, OneItemWithTime) {
    TStreamItem item;
    item.ClientHandle = 0x0A0B0C0D;
    item.Quality = 0xC0;
    item.TimeStamp = 0x0102030405060708ull;
    item.Value = Ui2Record();
    const Bytes expected = {56,   0,    0,    0,                // total size 20 + 20 + 16
                            1,    0,    0,    0,                // count
                            0x44, 0x33, 0x22, 0x11,             // client group handle
                            7,    0,    0,    0,                // transaction id
                            0,    0,    0,    0,                // result
                            0x0D, 0x0C, 0x0B, 0x0A,             // client handle
                            40,   0,    0,    0,                // value offset
                            0xC0, 0,    0,    0,                // quality, reserved
                            8,    7,    6,    5,    4, 3, 2, 1, // FILETIME
                            0x12, 0x00, 0,    0,    0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(TOPCDataStream::Data(true, 0x11223344, 7, {item}), expected);
}

TEST(OPCDataStreamTest, TwoItemsWithTime) {
    TStreamItem a;
    a.ClientHandle = 1;
    a.Quality = 0xC0;
    a.TimeStamp = 0x10;
    a.Value = Ui2Record();
    TStreamItem b;
    b.ClientHandle = 2;
    b.Quality = 0x18;
    b.TimeStamp = 0x20;
    b.Value = {0x0B, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}; // VT_BOOL TRUE
    const Bytes expected = {
        92,   0, 0, 0, 2,    0,    0, 0, 5,    0, 0, 0, 0,    0,    0, 0, 0, 0, 0, 0, 1,    0,    0, 0,
        60,   0, 0, 0, 0xC0, 0,    0, 0, 0x10, 0, 0, 0, 0,    0,    0, 0, 2, 0, 0, 0, 76,   0,    0, 0,
        0x18, 0, 0, 0, 0x20, 0,    0, 0, 0,    0, 0, 0, 0x12, 0x00, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0,
        0,    0, 0, 0, 0x0B, 0x00, 0, 0, 0,    0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(TOPCDataStream::Data(true, 5, 0, {a, b}), expected);
}

TEST(OPCDataStreamTest, TwoItemsWithoutTime) {
    TStreamItem a;
    a.ClientHandle = 1;
    a.Quality = 0xC0;
    a.TimeStamp = 0x10; // not carried
    a.Value = Ui2Record();
    TStreamItem b = a;
    b.ClientHandle = 2;
    b.Quality = 0x1C;
    const Bytes expected = {76, 0, 0, 0, 2,    0,    0, 0, 5,    0, 0, 0, 9,    0,    0, 0,
                            0,  0, 0, 0, 1,    0,    0, 0, 44,   0, 0, 0, 0xC0, 0,    0, 0,
                            2,  0, 0, 0, 60,   0,    0, 0, 0x1C, 0, 0, 0, 0x12, 0x00, 0, 0,
                            0,  0, 0, 0, 0x34, 0x12, 0, 0, 0,    0, 0, 0, 0x12, 0x00, 0, 0,
                            0,  0, 0, 0, 0x34, 0x12, 0, 0, 0,    0, 0, 0};
    EXPECT_EQ(TOPCDataStream::Data(false, 5, 9, {a, b}), expected);
}

TEST(OPCDataStreamTest, WriteComplete) {
    const Bytes expected = {2,    0, 0, 0, 5, 0, 0, 0, 3,    0, 0, 0, 0, 0, 0, 0,
                            0x21, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(TOPCDataStream::WriteComplete(5, 3, {0x21, 0x22}), expected);
    // A failed item: its error, and S_FALSE in the header.
    const Bytes failed = {2,    0, 0, 0, 5, 0, 0, 0, 3,    0, 0, 0, 1,    0,    0,    0,
                          0x21, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0, 0x05, 0x40, 0x00, 0x80};
    EXPECT_EQ(TOPCDataStream::WriteComplete(5, 3, {0x21, 0x22}, {S_OK, E_FAIL}), failed);
}

} // namespace
} // namespace dravon
