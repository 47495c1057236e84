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

// The version-1 stream layouts, byte for byte: data with time, data without time (its item
// headers carry no time stamp) and write complete (no size field, S_FALSE for a failure).
TEST(OPCDataStreamTest, Layouts) {
    TStreamItem a;
    a.ClientHandle = 0x0A0B0C0D;
    a.Quality = 0xC0;
    a.TimeStamp = 0x0102030405060708ull;
    a.Value = Ui2Record();
    TStreamItem b;
    b.ClientHandle = 2;
    b.Quality = 0x18;
    b.TimeStamp = 0x20;
    b.Value = {0x0B, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}; // VT_BOOL TRUE
    const struct {
        const char* Name;
        Bytes Stream;
        Bytes Expected;
    } rows[] = {
        {"one item with time",
         TOPCDataStream::Data(true, 0x11223344, 7, {a}),
         {56,   0,    0,    0,    1,  0, 0, 0, 0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0, 0, 0, 0, 0, // header
          0x0D, 0x0C, 0x0B, 0x0A, 40, 0, 0, 0, 0xC0, 0,    0,    0,    8, 7, 6, 5, 4, 3, 2, 1, // item
          0x12, 0,    0,    0,    0,  0, 0, 0, 0x34, 0x12, 0,    0,    0, 0, 0, 0}},           // value
        {"two items with time",
         TOPCDataStream::Data(true, 5, 0, {a, b}),
         {92,   0, 0, 0, 2,    0, 0, 0, 5, 0, 0, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A,
          60,   0, 0, 0, 0xC0, 0, 0, 0, 8, 7, 6, 5, 4,    3,    2, 1, 2, 0, 0, 0, 76,   0,    0,    0,
          0x18, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0x12, 0,    0, 0, 0, 0, 0, 0, 0x34, 0x12, 0,    0,
          0,    0, 0, 0, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
        {"two items without time",
         TOPCDataStream::Data(false, 5, 9, {a, b}),
         {76, 0,    0,    0,    2,    0,  0,    0, 5, 0,    0, 0,    9,    0, 0,    0,    0, 0,  0,
          0,  0x0D, 0x0C, 0x0B, 0x0A, 44, 0,    0, 0, 0xC0, 0, 0,    0,    2, 0,    0,    0, 60, 0,
          0,  0,    0x18, 0,    0,    0,  0x12, 0, 0, 0,    0, 0,    0,    0, 0x34, 0x12, 0, 0,  0,
          0,  0,    0,    0x0B, 0,    0,  0,    0, 0, 0,    0, 0xFF, 0xFF, 0, 0,    0,    0, 0,  0}},
        {"write complete",
         TOPCDataStream::WriteComplete(5, 3, {0x21, 0x22}),
         {2,    0, 0, 0, 5, 0, 0, 0, 3,    0, 0, 0, 0, 0, 0, 0,
          0x21, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0, 0, 0, 0, 0}},
        {"write complete with a failed item",
         TOPCDataStream::WriteComplete(5, 3, {0x21, 0x22}, {S_OK, E_FAIL}),
         {2,    0, 0, 0, 5, 0, 0, 0, 3,    0, 0, 0, 1,    0,    0,    0,
          0x21, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0, 0x05, 0x40, 0x00, 0x80}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(row.Stream, row.Expected);
    }
}

} // namespace
} // namespace dravon
