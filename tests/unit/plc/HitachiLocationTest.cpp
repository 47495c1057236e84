#include "plc/HitachiLocation.h"

#include "app/Settings.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

constexpr TDateTime T1 = 46000.25;
constexpr TDateTime T2 = 46000.5;

void MakeWord(THitachiLocation& l, std::uint32_t address) {
    l.Code = 10;
    l.Address = address;
    l.TypeRow = 7;
    l.VarType = VarTypeUI2;
}

// DR0000 over WR0000 (low) and WR0001 (high), linked and counted as ResolveItemId does.
struct TDoubleWord {
    THitachiLocation Low, High, Double;
    TDoubleWord() {
        MakeWord(Low, 0);
        MakeWord(High, 1);
        Double.Code = 10;
        Double.TypeRow = 8;
        Double.VarType = VarTypeUI4;
        Double.IsDoubleWord = true;
        Double.HighLink = &High;
        Double.LowLink = &Low;
        High.HighLink = &Double;
        Low.LowLink = &Double;
        High.AddRef();
        Low.AddRef();
    }
};

TEST(HitachiLocation, WrittenWordValuesBecomeTwosComplement) {
    THitachiLocation word;
    MakeWord(word, 0x10);
    word.StoreWrittenValue(static_cast<std::uint32_t>(-1));
    EXPECT_EQ(word.Value, 65535u);
    EXPECT_TRUE(word.WriteRequested);
    EXPECT_TRUE(word.WritePending);
    word.StoreWrittenValue(static_cast<std::uint32_t>(-40000));
    EXPECT_EQ(word.Value, 32768u);
    word.StoreWrittenValue(1234);
    EXPECT_EQ(word.Value, 1234u);

    TDoubleWord dw;
    dw.Double.StoreWrittenValue(static_cast<std::uint32_t>(-1));
    EXPECT_EQ(dw.Double.Value, 0xFFFFFFFFu);
}

TEST(HitachiLocation, DoubleWordWriteSplitsIntoBothHalves) {
    TDoubleWord dw;
    dw.Double.StoreWrittenValue(0x12345678);
    EXPECT_EQ(dw.High.Value, 0x1234u);
    EXPECT_EQ(dw.Low.Value, 0x5678u);
    EXPECT_TRUE(dw.High.WriteRequested && dw.High.WritePending);
    EXPECT_TRUE(dw.Low.WriteRequested && dw.Low.WritePending);
    EXPECT_EQ(dw.Double.GetValue(), 0x12345678u);
}

TEST(HitachiLocation, WordWriteAndReadKeepTheOwnerInStep) {
    TDoubleWord dw;
    dw.Low.StoreReadValue(0x1111, T1);
    dw.High.StoreReadValue(0x2222, T1);
    EXPECT_EQ(dw.Double.Value, 0x22221111u);
    EXPECT_EQ(dw.Double.GetValue(), 0x22221111u);
    EXPECT_TRUE(dw.Double.HasValue);

    dw.High.StoreWrittenValue(0xABCD);
    EXPECT_EQ(dw.Double.Value, 0xABCD1111u);
    EXPECT_TRUE(dw.Double.WritePending);
    // A read while the write is pending does not overwrite the written value.
    dw.High.StoreReadValue(0x2222, T2);
    EXPECT_EQ(dw.High.Value, 0xABCDu);
    EXPECT_EQ(dw.High.ValueTime, T2);
}

TEST(HitachiLocation, ForcedValueReportsLocalOverrideUntilTheNextReadIsSkipped) {
    THitachiLocation word;
    MakeWord(word, 0);
    word.StoreReadValue(7, T1);
    word.ErrorCount = 9;
    word.StoreForcedValue(500, T2);
    EXPECT_EQ(word.Quality(true, true), QualityLocalOverride);
    EXPECT_EQ(word.Quality(false, false), QualityLocalOverride);
    // The PLC confirms the write; the next read is the one skipped.
    word.WritePending = false;
    word.ErrorCount = 0;
    word.StoreReadValue(7, T2);
    EXPECT_EQ(word.Value, 500u);
    EXPECT_EQ(word.Quality(true, true), QualityGood);
    word.StoreReadValue(8, T2);
    EXPECT_EQ(word.Value, 8u);
}

TEST(HitachiLocation, ForcingADoubleWordForcesBothHalves) {
    TDoubleWord dw;
    dw.Double.StoreForcedValue(0x00010002, T1);
    EXPECT_EQ(dw.High.Value, 1u);
    EXPECT_EQ(dw.Low.Value, 2u);
    for (auto* l : {&dw.High, &dw.Low}) {
        EXPECT_TRUE(l->SkipNextRead);
        EXPECT_TRUE(l->HasValue);
        EXPECT_EQ(l->ValueTime, T1);
        EXPECT_EQ(l->Quality(true, true), QualityLocalOverride);
    }
}

struct TQualityCase {
    bool Uncertain, Bad;
    std::uint16_t NeverRead, ThreeErrors, FiveErrors, TimedOut;
};

class QualityTable : public ::testing::TestWithParam<TQualityCase> {};

TEST_P(QualityTable, FollowsTheSettings) {
    const auto& c = GetParam();
    TSettings settings;
    settings.EnableUncertain = c.Uncertain;
    settings.EnableBAD = c.Bad;
    THitachiLocation word;
    MakeWord(word, 0);
    EXPECT_EQ(word.Quality(settings), c.NeverRead);
    word.StoreReadValue(1, T1);
    EXPECT_EQ(word.Quality(settings), QualityGood);
    word.ErrorCount = 3;
    EXPECT_EQ(word.Quality(settings), c.ThreeErrors);
    word.ErrorCount = 5;
    EXPECT_EQ(word.Quality(settings), c.FiveErrors);
    word.ErrorCount = 0;
    word.TimedOut = true;
    EXPECT_EQ(word.Quality(settings), c.TimedOut);
    word.AddressError = true;
    EXPECT_EQ(word.Quality(settings), QualityConfigError);
}

INSTANTIATE_TEST_SUITE_P(Settings, QualityTable,
                         ::testing::Values(TQualityCase{true, true, 0x00, 0x44, 0x18, 0x44},
                                           TQualityCase{true, false, 0x40, 0x44, 0x44, 0x44},
                                           TQualityCase{false, false, 0xC0, 0xC0, 0xC0, 0xC0},
                                           TQualityCase{false, true, 0x00, 0xC0, 0x18, 0xC0}));

TEST(HitachiLocation, DoubleWordQualityComesFromItsHalves) {
    TDoubleWord dw;
    dw.Double.StoreReadValue(0, T1);
    EXPECT_EQ(dw.Double.Quality(true, true), QualityGood);
    dw.High.ErrorCount = 3;
    EXPECT_EQ(dw.Double.Quality(true, true), QualityLastUsable);
    dw.Low.ErrorCount = 5;
    EXPECT_EQ(dw.Double.Quality(true, true), QualityCommFailure);
    dw.High.AddressError = true;
    EXPECT_EQ(dw.Double.Quality(true, true), QualityConfigError);
    EXPECT_TRUE(dw.Double.IsFaulty());

    THitachiLocation lonely;
    lonely.IsDoubleWord = true;
    lonely.StoreReadValue(5, T1);
    EXPECT_EQ(lonely.Quality(false, false), QualityBad);
    EXPECT_FALSE(lonely.IsFaulty());
    lonely.TimedOut = true;
    EXPECT_TRUE(lonely.IsFaulty());
}

TEST(HitachiLocation, FreeingADoubleWordReleasesAndUnlinksItsHalves) {
    THitachiLocation low, high;
    MakeWord(low, 0);
    MakeWord(high, 1);
    {
        THitachiLocation dw;
        dw.IsDoubleWord = true;
        dw.HighLink = &high;
        dw.LowLink = &low;
        high.HighLink = &dw;
        low.LowLink = &dw;
        high.AddRef();
        low.AddRef();
    }
    EXPECT_EQ(high.RefCount, 0);
    EXPECT_EQ(low.RefCount, 0);
    EXPECT_EQ(high.HighLink, nullptr);
    EXPECT_EQ(low.LowLink, nullptr);
    // Reads on the orphaned words must not reach the freed double word.
    low.StoreReadValue(3, T1);
    high.StoreWrittenValue(4);
}

TEST(HitachiLocation, FreeingAWordUnlinksItsOwner) {
    THitachiLocation dw;
    dw.IsDoubleWord = true;
    {
        THitachiLocation high;
        dw.HighLink = &high;
        high.HighLink = &dw;
    }
    EXPECT_EQ(dw.HighLink, nullptr);
    EXPECT_EQ(dw.GetValue(), 0u);
}

TEST(HitachiLocation, DisplayChangeDetection) {
    TSettings settings;
    THitachiLocation word;
    MakeWord(word, 0);
    EXPECT_TRUE(word.HasChangedForDisplay(settings)); // Changed at creation
    EXPECT_FALSE(word.HasChangedForDisplay(settings));
    word.StoreReadValue(0, T1); // same value, new time stamp and quality
    EXPECT_TRUE(word.HasChangedForDisplay(settings));
    EXPECT_FALSE(word.HasChangedForDisplay(settings));
    word.RefreshCaption = true;
    EXPECT_TRUE(word.HasChangedForDisplay(settings));
}

TEST(HitachiLocation, TypesAndNames) {
    THitachiLocation word;
    MakeWord(word, 0x10);
    EXPECT_EQ(word.LocationName(), "WR0010");
    EXPECT_EQ(word.VarTypeOf(false), VarTypeUI2);
    EXPECT_EQ(word.VarTypeOf(true), VarTypeI2);
    EXPECT_EQ(word.DataTypeName(), "Integer");
    TDoubleWord dw;
    EXPECT_EQ(dw.Double.LocationName(), "DR0000");
    EXPECT_EQ(dw.Double.VarTypeOf(true), VarTypeI4);
    EXPECT_EQ(dw.Double.DataTypeName(), "Long");
    THitachiLocation bit;
    bit.VarType = VarTypeBool;
    EXPECT_EQ(bit.VarTypeOf(true), VarTypeBool);
    EXPECT_EQ(bit.DataTypeName(), "Bool");
    THitachiLocation text;
    text.Name = "ComInfo";
    text.VarType = VarTypeBstr;
    EXPECT_EQ(text.LocationName(), "ComInfo");
    EXPECT_EQ(text.DataTypeName(), "String");
    text.StoreText("abc", T1);
    EXPECT_EQ(text.StringValue, "abc");
    EXPECT_TRUE(text.HasValue);
}

} // namespace
} // namespace dravon
