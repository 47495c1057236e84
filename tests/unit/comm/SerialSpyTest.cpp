#include "comm/SerialSpy.h"

#include <gtest/gtest.h>

#include <vector>

namespace dravon {
namespace {

// 12:34:56.789 on some day.
constexpr TDateTime At = 46000.0 + (12 * 3600 + 34 * 60 + 56) / 86400.0 + 0.789 / 86400.0;

TEST(SerialSpyTest, TimeTextHasMillisecondsAfterAColon) {
    EXPECT_EQ(SpyTimeText(At), "12:34:56:789");
    EXPECT_EQ(SpyTimeText(46000.0), "00:00:00:000");
}

TEST(SerialSpyTest, TransmitLineShowsProbeFrameAsCharactersAndHex) {
    std::vector<std::uint8_t> probe{0x15, 0x30, 0x46, 0x46, 0x0D};
    // 0x0D is below 0x0F and shows as 0xEC (i with grave), UTF-8 C3 AC; 0x15 shows as itself.
    EXPECT_EQ(SerialSpyLine(true, At, probe), "[Tx] [12:34:56:789] \x15"
                                              "0FF\xC3\xAC  ( 15 30 46 46 0D )");
}

TEST(SerialSpyTest, ReceiveLineHasNoSpaceAfterTheParenthesis) {
    std::vector<std::uint8_t> answer{0x02, 0x41, 0x0D};
    // 0x02 shows as 0xE1 (a with acute), UTF-8 C3 A1.
    EXPECT_EQ(SerialSpyLine(false, At, answer), "[Rx] [12:34:56:789] \xC3\xA1"
                                                "A\xC3\xAC  (02 41 0D )");
}

TEST(SerialSpyTest, ByteFifteenAndHighBytesAreShownAsThemselves) {
    std::vector<std::uint8_t> bytes{0x0F, 0xFF};
    EXPECT_EQ(SerialSpyLine(false, At, bytes), "[Rx] [12:34:56:789] \x0F\xC3\xBF  (0F FF )");
}

} // namespace
} // namespace dravon
