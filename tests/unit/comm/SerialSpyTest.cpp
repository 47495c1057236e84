#include "comm/SerialSpy.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace dravon {
namespace {

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
