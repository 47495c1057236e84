#include "ui/ValueFormat.h"
#include "plc/MemoryTypes.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

TEST(ValueFormat, ValuesInEveryView) {
    struct TCase {
        std::uint32_t Value;
        bool DoubleWord;
        TViewFormat View;
        const char* Text;
        bool AllowFloat = true;
        std::uint16_t VarType = VarTypeUI2;
    };
    using enum TViewFormat;
    // clang-format off
    const TCase cases[] = {
        {65535, false, Dec, "65535"}, {65535, false, SignedDec, "-1"}, {65535, false, Hex, "HFFFF"},
        {0x00AB, false, Hex, "H00AB"}, {32767, false, SignedDec, "32767"}, {1, false, Hex, "H0001", true, VarTypeBool},
        // Float views make no sense for one word: decimal instead.
        {65535, false, FloatingPoint, "65535"}, {65535, false, Fractional, "65535"},
        {0x3FC00000u, true, Hex, "H3FC0 0000"}, {0x3FC00000u, true, FloatingPoint, "1.50000E+000"},
        {0xBE800000u, true, FloatingPoint, "-2.50000E-001"}, {65535, true, Fractional, "1.00000E+000"},
        {0xFFFFFFFFu, true, Fractional, "-1.52590E-005"}, {0xFFFFFFFFu, true, SignedDec, "-1"},
        {0xFFFFFFFFu, true, Dec, "4294967295"},
        // Without the float permission the bits are shown as an integer.
        {0x3FC00000u, true, FloatingPoint, "1069547520", false}, {65535, true, Fractional, "65535", false},
        // Non-finite bit patterns must not crash or be cut.
        {0x7F800000u, true, FloatingPoint, "INF"},
    };
    // clang-format on
    auto view = [](TViewFormat format) { return static_cast<std::uint8_t>(format); };
    for (const TCase& c : cases)
        EXPECT_EQ(FormatValue({c.Value, c.DoubleWord, c.VarType, view(c.View), ""}, c.AllowFloat), c.Text)
            << c.Text;
    // A string location shows its text in any view.
    EXPECT_EQ(FormatValue({0, false, VarTypeBstr, view(Hex), "PLC1 connected"}, true), "PLC1 connected");
    // The exponent keeps three digits, also for large exponents.
    EXPECT_EQ(FormatExponent(0.0) + " " + FormatExponent(3.4e38) + " " + FormatExponent(1e-300),
              "0.00000E+000 3.40000E+038 1.00000E-300");
    EXPECT_FALSE(FormatValue({0x7FC00000u, true, 0, view(FloatingPoint), ""}, true).empty());
}

TEST(ValueFormat, QualityAndTypeTexts) {
    // clang-format off
    const std::pair<std::uint16_t, const char*> qualities[] = {
        {0xC0, "GOOD"}, {0xD8, "LOCAL_OVERRIDE"}, {0xC3, "GOOD"}, // limit bits do not matter
        {0x00, "BAD"}, {0x04, "CONFIG_ERROR"}, {0x08, "NOT_CONNECTED"}, {0x0C, "DEVICE_FAILURE"},
        {0x10, "SENSOR_FAILURE"}, {0x14, "LAST_KNOWN"}, {0x18, "COMM_FAILURE"}, {0x1C, "OUT_OF_SERVICE"},
        {0x20, "BAD"}, {0x40, "UNCERTAIN"}, {0x44, "LAST_USABLE"}, {0x50, "SENSOR_CAL"}, {0x54, "EGU_EXCEEDED"},
        {0x58, "SUB_NORMAL"}, {0x80, ""}};
    for (const auto& [quality, text] : qualities) EXPECT_EQ(QualityToText(quality), text) << quality;
    const std::pair<std::uint16_t, const char*> types[] = {
        {VarTypeBool, "Bool"}, {VarTypeUI2, "Integer"}, {VarTypeBstr, "String"}, {VarTypeUI4, "Long"}, {VarTypeI4, "Long"}};
    // clang-format on
    for (const auto& [type, text] : types) EXPECT_EQ(VarTypeText(type), text) << type;
}

} // namespace
} // namespace dravon
