#include "opc/OPCDataStream.h"
#include "opc/HResult.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The version-1 stream layouts, byte for byte: data with time, data without time (its item
// headers carry no time stamp) and write complete (no size field, S_FALSE for a failure).
TEST(OPCDataStreamTest, Layouts) {
    // VT_UI2 (18) holding 0x1234, and VT_BOOL TRUE, as their 16-byte records.
    const TStreamItem a{
        0x0A0B0C0D, 0xC0, 0x0102030405060708ull, {0x12, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0}};
    const TStreamItem b{2, 0x18, 0x20, {0x0B, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}};
    // Header (size, count, group, transaction, result), item headers (client handle, value
    // offset, quality, time), then the values' records.
    const struct {
        const char* Name;
        Bytes Stream;
        std::string Expected;
    } rows[] = {
        {"one item with time", TOPCDataStream::Data(true, 0x11223344, 7, {a}),
         "38000000 01000000 44332211 07000000 00000000  0D0C0B0A 28000000 C0000000 0807060504030201"
         "  1200000000000000 3412000000000000"},
        {"two items with time", TOPCDataStream::Data(true, 5, 0, {a, b}),
         "5C000000 02000000 05000000 00000000 00000000  0D0C0B0A 3C000000 C0000000 0807060504030201"
         "  02000000 4C000000 18000000 2000000000000000  1200000000000000 3412000000000000"
         "  0B00000000000000 FFFF000000000000"},
        {"two items without time", TOPCDataStream::Data(false, 5, 9, {a, b}),
         "4C000000 02000000 05000000 09000000 00000000  0D0C0B0A 2C000000 C0000000"
         "  02000000 3C000000 18000000  1200000000000000 3412000000000000"
         "  0B00000000000000 FFFF000000000000"},
        // Count, group, transaction, result (S_FALSE for a failure), then handle and error per item.
        {"write complete", TOPCDataStream::WriteComplete(5, 3, {0x21, 0x22}),
         "02000000 05000000 03000000 00000000  21000000 00000000  22000000 00000000"},
        {"write complete with a failed item",
         TOPCDataStream::WriteComplete(5, 3, {0x21, 0x22}, {S_OK, E_FAIL}),
         "02000000 05000000 03000000 01000000  21000000 00000000  22000000 05400080"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        std::string digits = row.Expected;
        std::erase(digits, ' ');
        EXPECT_EQ(test::HexText(row.Stream), digits);
    }
}

} // namespace
} // namespace dravon
