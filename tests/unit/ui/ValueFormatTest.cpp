#include "ui/ValueFormat.h"
#include "plc/MemoryTypes.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

std::string Text(std::uint32_t value, bool doubleWord, TViewFormat view, bool allowFloat = true,
                 std::uint16_t varType = VarTypeUI2) {
    TValueToFormat v;
    v.Value = value;
    v.IsDoubleWord = doubleWord;
    v.View = static_cast<std::uint8_t>(view);
    v.VarType = varType;
    return FormatValue(v, allowFloat);
}

TEST(ValueFormat, WordInEveryIntegerView) {
    EXPECT_EQ(Text(65535, false, TViewFormat::Dec), "65535");
    EXPECT_EQ(Text(65535, false, TViewFormat::SignedDec), "-1");
    EXPECT_EQ(Text(65535, false, TViewFormat::Hex), "HFFFF");
    EXPECT_EQ(Text(0x00AB, false, TViewFormat::Hex), "H00AB");
    EXPECT_EQ(Text(32767, false, TViewFormat::SignedDec), "32767");
    EXPECT_EQ(Text(1, false, TViewFormat::Hex, true, VarTypeBool), "H0001");
    // Float views make no sense for one word: decimal instead.
    EXPECT_EQ(Text(65535, false, TViewFormat::FloatingPoint), "65535");
    EXPECT_EQ(Text(65535, false, TViewFormat::Fractional), "65535");
}

TEST(ValueFormat, DoubleWordViews) {
    const std::uint32_t onePointFive = 0x3FC00000u;
    EXPECT_EQ(Text(onePointFive, true, TViewFormat::Hex), "H3FC0 0000");
    EXPECT_EQ(Text(onePointFive, true, TViewFormat::FloatingPoint), "1.50000E+000");
    EXPECT_EQ(Text(0xBE800000u, true, TViewFormat::FloatingPoint), "-2.50000E-001");
    EXPECT_EQ(Text(65535, true, TViewFormat::Fractional), "1.00000E+000");
    EXPECT_EQ(Text(0xFFFFFFFFu, true, TViewFormat::Fractional), "-1.52590E-005");
    EXPECT_EQ(Text(0xFFFFFFFFu, true, TViewFormat::SignedDec), "-1");
    EXPECT_EQ(Text(0xFFFFFFFFu, true, TViewFormat::Dec), "4294967295");
    // Without the float permission the bits are shown as an integer.
    EXPECT_EQ(Text(onePointFive, true, TViewFormat::FloatingPoint, false), "1069547520");
    EXPECT_EQ(Text(65535, true, TViewFormat::Fractional, false), "65535");
}

TEST(ValueFormat, ExponentKeepsThreeDigitsAndLargeExponents) {
    EXPECT_EQ(FormatExponent(0.0), "0.00000E+000");
    EXPECT_EQ(FormatExponent(3.4e38), "3.40000E+038");
    EXPECT_EQ(FormatExponent(1e-300), "1.00000E-300");
    // Non-finite bit patterns must not crash or be cut.
    EXPECT_EQ(Text(0x7F800000u, true, TViewFormat::FloatingPoint), "INF");
    EXPECT_FALSE(Text(0x7FC00000u, true, TViewFormat::FloatingPoint).empty());
}

TEST(ValueFormat, StringLocationShowsItsText) {
    TValueToFormat v;
    v.VarType = VarTypeBstr;
    v.View = static_cast<std::uint8_t>(TViewFormat::Hex);
    v.StringValue = "PLC1 connected";
    EXPECT_EQ(FormatValue(v, true), "PLC1 connected");
}

TEST(ValueFormat, QualityTexts) {
    EXPECT_EQ(QualityToText(0xC0), "GOOD");
    EXPECT_EQ(QualityToText(0xD8), "LOCAL_OVERRIDE");
    EXPECT_EQ(QualityToText(0xC3), "GOOD"); // limit bits do not matter
    EXPECT_EQ(QualityToText(0x00), "BAD");
    EXPECT_EQ(QualityToText(0x04), "CONFIG_ERROR");
    EXPECT_EQ(QualityToText(0x08), "NOT_CONNECTED");
    EXPECT_EQ(QualityToText(0x0C), "DEVICE_FAILURE");
    EXPECT_EQ(QualityToText(0x10), "SENSOR_FAILURE");
    EXPECT_EQ(QualityToText(0x14), "LAST_KNOWN");
    EXPECT_EQ(QualityToText(0x18), "COMM_FAILURE");
    EXPECT_EQ(QualityToText(0x1C), "OUT_OF_SERVICE");
    EXPECT_EQ(QualityToText(0x20), "BAD");
    EXPECT_EQ(QualityToText(0x40), "UNCERTAIN");
    EXPECT_EQ(QualityToText(0x44), "LAST_USABLE");
    EXPECT_EQ(QualityToText(0x50), "SENSOR_CAL");
    EXPECT_EQ(QualityToText(0x54), "EGU_EXCEEDED");
    EXPECT_EQ(QualityToText(0x58), "SUB_NORMAL");
    EXPECT_EQ(QualityToText(0x80), "");
}

TEST(ValueFormat, TypeTexts) {
    EXPECT_EQ(VarTypeText(VarTypeBool), "Bool");
    EXPECT_EQ(VarTypeText(VarTypeUI2), "Integer");
    EXPECT_EQ(VarTypeText(VarTypeBstr), "String");
    EXPECT_EQ(VarTypeText(VarTypeUI4), "Long");
    EXPECT_EQ(VarTypeText(VarTypeI4), "Long");
}

} // namespace
} // namespace dravon
