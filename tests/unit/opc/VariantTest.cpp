#include "opc/Variant.h"
#include "opc/FileTime.h"
#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

namespace dravon {
namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// Conversions by the automation rules: reals round half to even, TRUE is -1, texts are
// decimal, a failure leaves the destination empty.
TEST(VariantConversion, FollowsTheAutomationRules) {
    const struct {
        const char* Name;
        TVariant Source;
        VARTYPE Target;
        HRESULT Result;
        TVariant Expected; // compared when Result succeeds
        std::uint16_t Flags = 0;
    } rows[] = {
        // clang-format off
        {"I4ToI2", TVariant::I4(1), VT_I2, S_OK, TVariant::I2(1)},
        {"I4ToI2Overflow", TVariant::I4(32768), VT_I2, DISP_E_OVERFLOW, {}},
        {"I4ToUI2Overflow", TVariant::I4(70000), VT_UI2, DISP_E_OVERFLOW, {}},
        {"NegativeToUI2", TVariant::I4(-1), VT_UI2, DISP_E_OVERFLOW, {}},
        {"NegativeToUI4", TVariant::I4(-1), VT_UI4, DISP_E_OVERFLOW, {}},
        {"I4ToI1Overflow", TVariant::I4(200), VT_I1, DISP_E_OVERFLOW, {}},
        {"I4ToUI1", TVariant::I4(255), VT_UI1, S_OK, TVariant::UI1(255)},
        {"TextToI1", TVariant::Bstr("17"), VT_I1, S_OK, TVariant::I1(17)},
        {"UI4ToI4Overflow", TVariant::UI4(0x80000000u), VT_I4, DISP_E_OVERFLOW, {}},
        {"UI4ToI8", TVariant::UI4(0xFFFFFFFFu), VT_I8, S_OK, TVariant::I8(4294967295LL)},
        {"UI8MaxToI8", TVariant::UI8(~0ull), VT_I8, DISP_E_OVERFLOW, {}},
        {"I8MinToUI8", TVariant::I8(std::numeric_limits<std::int64_t>::min()), VT_UI8, DISP_E_OVERFLOW, {}},
        {"I4ToInt", TVariant::I4(-5), VT_INT, S_OK, TVariant::Int(-5)},
        {"I4ToUInt", TVariant::I4(5), VT_UINT, S_OK, TVariant::UInt(5)},
        {"TwoPointFive", TVariant::R8(2.5), VT_I4, S_OK, TVariant::I4(2)},
        {"ThreePointFive", TVariant::R8(3.5), VT_I4, S_OK, TVariant::I4(4)},
        {"MinusTwoPointFive", TVariant::R8(-2.5), VT_I4, S_OK, TVariant::I4(-2)},
        {"TwoPointSix", TVariant::R4(2.6f), VT_UI2, S_OK, TVariant::UI2(3)},
        {"RoundsIntoOverflow", TVariant::R8(32767.5), VT_I2, DISP_E_OVERFLOW, {}},
        {"RoundsBackIntoRange", TVariant::R8(-32768.4), VT_I2, S_OK, TVariant::I2(-32768)},
        {"NaNToI4", TVariant::R8(NaN), VT_I4, DISP_E_OVERFLOW, {}},
        {"HugeToI8", TVariant::R8(1e300), VT_I8, DISP_E_OVERFLOW, {}},
        {"HugeToR4", TVariant::R8(1e300), VT_R4, DISP_E_OVERFLOW, {}},
        {"InfinityToR4", TVariant::R8(Inf), VT_R4, S_OK, TVariant::R4(static_cast<float>(Inf))},
        {"R8ToR4", TVariant::R8(0.5), VT_R4, S_OK, TVariant::R4(0.5f)},
        {"R4ToR8Widens", TVariant::R4(0.1f), VT_R8, S_OK, TVariant::R8(static_cast<double>(0.1f))},
        {"TrueToUI2AllBits", TVariant::Bool(true), VT_UI2, S_OK, TVariant::UI2(65535)},
        {"TrueToR8", TVariant::Bool(true), VT_R8, S_OK, TVariant::R8(-1.0)},
        {"FalseToUI4", TVariant::Bool(false), VT_UI4, S_OK, TVariant::UI4(0)},
        {"FiveToBool", TVariant::I4(5), VT_BOOL, S_OK, TVariant::Bool(true)},
        {"ZeroToBool", TVariant::UI2(0), VT_BOOL, S_OK, TVariant::Bool(false)},
        {"SmallRealToBool", TVariant::R8(0.1), VT_BOOL, S_OK, TVariant::Bool(true)},
        {"TrueToText", TVariant::Bool(true), VT_BSTR, S_OK, TVariant::Bstr("-1")},
        {"FalseToText", TVariant::Bool(false), VT_BSTR, S_OK, TVariant::Bstr("0")},
        {"TrueToAlphaText", TVariant::Bool(true), VT_BSTR, S_OK, TVariant::Bstr("True"), VARIANT_ALPHABOOL},
        {"FalseToAlphaText", TVariant::Bool(false), VT_BSTR, S_OK, TVariant::Bstr("False"), VARIANT_ALPHABOOL},
        {"vvToI4", TVariant::Bstr("vv"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"vvToBool", TVariant::Bstr("vv"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        {"vvToText", TVariant::Bstr("vv"), VT_BSTR, S_OK, TVariant::Bstr("vv")},
        {"EmptyToI4", TVariant::Bstr(""), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"Blanks", TVariant::Bstr(" 42 "), VT_I4, S_OK, TVariant::I4(42)},
        {"Negative", TVariant::Bstr("-7"), VT_I2, S_OK, TVariant::I2(-7)},
        {"FractionRounds", TVariant::Bstr("2.5"), VT_I4, S_OK, TVariant::I4(2)},
        {"Exponent", TVariant::Bstr("1e3"), VT_UI2, S_OK, TVariant::UI2(1000)},
        {"TooLargeForUI2", TVariant::Bstr("70000"), VT_UI2, DISP_E_OVERFLOW, {}},
        {"TooLargeForDouble", TVariant::Bstr("1e999"), VT_R8, DISP_E_OVERFLOW, {}},
        {"TooLargeForR4", TVariant::Bstr("3.5e38"), VT_R4, DISP_E_OVERFLOW, {}},
        {"LongDigitsToI8", TVariant::Bstr("9223372036854775807"), VT_I8, S_OK, TVariant::I8(std::numeric_limits<std::int64_t>::max())},
        {"JustPastI8", TVariant::Bstr("9223372036854775808"), VT_I8, DISP_E_OVERFLOW, {}},
        {"TrailingGarbage", TVariant::Bstr("12abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"HexIsNotDecimal", TVariant::Bstr("0x10"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"LoneSign", TVariant::Bstr("-"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"LonePoint", TVariant::Bstr("."), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {"TrueWord", TVariant::Bstr("True"), VT_BOOL, S_OK, TVariant::Bool(true)},
        {"FalseWordAnyCase", TVariant::Bstr("fALSE"), VT_BOOL, S_OK, TVariant::Bool(false)},
        {"NumberToBool", TVariant::Bstr("3"), VT_BOOL, S_OK, TVariant::Bool(true)},
        {"YesIsNotABool", TVariant::Bstr("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        {"I4", TVariant::I4(-123), VT_BSTR, S_OK, TVariant::Bstr("-123")},
        {"UI8Max", TVariant::UI8(~0ull), VT_BSTR, S_OK, TVariant::Bstr("18446744073709551615")},
        {"R8Tenth", TVariant::R8(0.1), VT_BSTR, S_OK, TVariant::Bstr("0.1")},
        {"R4Tenth", TVariant::R4(0.1f), VT_BSTR, S_OK, TVariant::Bstr("0.1")},
        {"R4SevenDigits", TVariant::R4(1234567.0f), VT_BSTR, S_OK, TVariant::Bstr("1234567")},
        {"NegativeInfinity", TVariant::R8(-Inf), VT_BSTR, S_OK, TVariant::Bstr("-INF")},
        {"NaNText", TVariant::R8(NaN), VT_BSTR, S_OK, TVariant::Bstr("NaN")},
        {"R8Large", TVariant::R8(1e20), VT_BSTR, S_OK, TVariant::Bstr("1E+20")},
        {"Currency", TVariant::Cy(15000), VT_BSTR, S_OK, TVariant::Bstr("1.5")},
        {"NegativeCurrency", TVariant::Cy(-10500), VT_BSTR, S_OK, TVariant::Bstr("-1.05")},
        {"DateAndTime", TVariant::Date(46000.5), VT_BSTR, S_OK, TVariant::Bstr("2025-12-09 12:00:00")},
        {"DateOnly", TVariant::Date(46000), VT_BSTR, S_OK, TVariant::Bstr("2025-12-09")},
        {"TimeOnly", TVariant::Date(0.5), VT_BSTR, S_OK, TVariant::Bstr("12:00:00")},
        {"TextToDate", TVariant::Bstr("2025-12-09 12:00:00"), VT_DATE, S_OK, TVariant::Date(46000.5)},
        {"IsoTextToDate", TVariant::Bstr("2025-12-09T06:00"), VT_DATE, S_OK, TVariant::Date(46000.25)},
        {"NoSuchDay", TVariant::Bstr("2025-02-30"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"NoApril31", TVariant::Bstr("2025-04-31"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"1900NotLeap", TVariant::Bstr("1900-02-29"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"YearBefore100", TVariant::Bstr("0099-12-31"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"Hour24", TVariant::Bstr("24:00"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"TimeBefore1899CountsForwards", TVariant::Bstr("1899-12-29 06:00"), VT_DATE, S_OK, TVariant::Date(-1.25)},
        {"NumberIsNotADateText", TVariant::Bstr("46000"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"DateToI4", TVariant::Date(1.5), VT_I4, S_OK, TVariant::I4(2)},
        {"I4ToDate", TVariant::I4(2), VT_DATE, S_OK, TVariant::Date(2.0)},
        {"DateOverflow", TVariant::R8(1e7), VT_DATE, DISP_E_OVERFLOW, {}},
        {"Year10000", TVariant::R8(2958466), VT_DATE, DISP_E_OVERFLOW, {}},
        {"I4ToCurrency", TVariant::I4(5), VT_CY, S_OK, TVariant::Cy(50000)},
        {"CurrencyToI4", TVariant::Cy(25000), VT_I4, S_OK, TVariant::I4(2)},
        {"R8ToCurrency", TVariant::R8(1.23456), VT_CY, S_OK, TVariant::Cy(12346)},
        {"CurrencyOverflow", TVariant::R8(1e16), VT_CY, DISP_E_OVERFLOW, {}},
        {"EmptyToI4", TVariant(), VT_I4, S_OK, TVariant::I4(0)},
        {"EmptyToText", TVariant(), VT_BSTR, S_OK, TVariant::Bstr("")},
        {"NullToI4", TVariant::Null(), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"AnythingToEmpty", TVariant::Bstr("vv"), VT_EMPTY, S_OK, TVariant()},
        {"ErrorToI2", TVariant::Error(E_FAIL), VT_I2, DISP_E_TYPEMISMATCH, {}},
        {"UI4ToError", TVariant::UI4(0x80004005u), VT_ERROR, S_OK, TVariant::Error(E_FAIL)},
        {"UnknownTarget", TVariant::I4(1), 9, DISP_E_BADVARTYPE, {}},
        {"ElementWise", TVariant::Array(VT_I4, {TVariant::I4(1), TVariant::I4(-2)}), VT_ARRAY | VT_R8, S_OK, TVariant::Array(VT_R8, {TVariant::R8(1), TVariant::R8(-2)})},
        {"OneElementOverflows", TVariant::Array(VT_I4, {TVariant::I4(1), TVariant::I4(70000)}), VT_ARRAY | VT_I2, DISP_E_OVERFLOW, {}},
        {"ScalarToArray", TVariant::I4(1), VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"ArrayToScalar", TVariant::Array(VT_I4, {TVariant::I4(1)}), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"EmptyElements", TVariant::Array(VT_I4, {}), VT_ARRAY | VT_EMPTY, DISP_E_BADVARTYPE, {}},
        {"EmptyArray", TVariant::Array(VT_UI2, {}), VT_ARRAY | VT_BSTR, S_OK, TVariant::Array(VT_BSTR, {})},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TVariant dest = TVariant::I4(12345); // a stale value must not survive a failure
        EXPECT_EQ(VariantChangeType(dest, row.Source, row.Flags, row.Target), row.Result);
        EXPECT_EQ(dest, Succeeded(row.Result) ? row.Expected : TVariant());
    }
}

TEST(VariantTest, RecordCarriesTypeAndLittleEndianValue) {
    // clang-format off
    const std::pair<TVariant, std::array<std::uint8_t, 16>> rows[] = {
        {TVariant::I4(0x01020304), {3, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1, 0, 0, 0, 0}},
        {TVariant::R4(1.0f), {4, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0}}, // 0x3F800000
        {TVariant::Bool(true), {11, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
        {TVariant::I1(-1), {16, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0}},
        {TVariant::Array(VT_UI2, {TVariant::UI2(1)}), {0x12, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    // clang-format on
    for (const auto& [value, bytes] : rows) EXPECT_EQ(VariantRecord(value), bytes) << value.Vt();
}

TEST(FileTimeTest, LocalDateTimeBecomesUtcFileTime) {
    test::TManualClock clock;
    clock.Bias = 60; // local time is one hour behind UTC
    // 2025-12-09 12:00 local = 13:00 UTC = 13409758800 s after 1601-01-01.
    TFileTime ft = LocalDateTimeToFileTime(46000.5, clock);
    EXPECT_EQ(ft.ToUInt64(), 134097588000000000ull);
    EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(ft, clock), 46000.5);
    // Date-time 0 ("never") is 30 December 1899 00:00 local, 01:00 UTC: 109205 days and an
    // hour after 1601-01-01.
    EXPECT_EQ(LocalDateTimeToFileTime(0, clock).ToUInt64(), (109205ull * 86400 + 3600) * 10000000ull);
    EXPECT_EQ(FileTimeNow(clock), ft);
}

} // namespace
} // namespace dravon
