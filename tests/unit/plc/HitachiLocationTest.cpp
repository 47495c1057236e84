#include "plc/HitachiLocation.h"

#include "app/Settings.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

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

// A double word over two words, linked and counted as ResolveItemId does.
void Link(THitachiLocation& dw, THitachiLocation& high, THitachiLocation& low) {
    dw.IsDoubleWord = true;
    std::tie(dw.HighLink, dw.LowLink, high.HighLink, low.LowLink) = std::tuple(&high, &low, &dw, &dw);
    high.AddRef();
    low.AddRef();
}

// WR0010, and DR0000 over WR0000 (low) and WR0001 (high).
class HitachiLocation : public ::testing::Test {
protected:
    HitachiLocation() {
        MakeWord(Word, 0x10);
        MakeWord(Low, 0);
        MakeWord(High, 1);
        std::tie(Double.Code, Double.TypeRow, Double.VarType) = std::tuple(10, 8, VarTypeUI4);
        Link(Double, High, Low);
    }
    THitachiLocation Word, Low, High, Double;
};

TEST_F(HitachiLocation, WrittenValuesTwosComplementAndDoubleWordHalves) {
    for (auto [written, stored] :
         {std::pair{-1, 65535u}, {-40000, 32768u}, {-32768, 32768u}, {1234, 1234u}}) {
        Word.StoreWrittenValue(static_cast<std::uint32_t>(written));
        EXPECT_EQ(Word.Value, stored) << written;
        EXPECT_TRUE(Word.WriteRequested && Word.WritePending);
    }
    Double.StoreWrittenValue(static_cast<std::uint32_t>(-1));
    EXPECT_EQ(Double.Value, 0xFFFFFFFFu);
    Double.StoreWrittenValue(0x12345678);
    EXPECT_EQ((std::array{High.Value, Low.Value, Double.GetValue()}),
              (std::array{0x1234u, 0x5678u, 0x12345678u}));
    EXPECT_TRUE(High.WriteRequested && High.WritePending && Low.WriteRequested && Low.WritePending);
}

TEST_F(HitachiLocation, WordWriteAndReadKeepTheOwnerInStep) {
    Low.StoreReadValue(0x1111, T1);
    High.StoreReadValue(0x2222, T1);
    EXPECT_EQ(std::tuple(Double.Value, Double.GetValue(), Double.HasValue),
              std::tuple(0x22221111u, 0x22221111u, true));
    High.StoreWrittenValue(0xABCD);
    EXPECT_TRUE(Double.Value == 0xABCD1111u && Double.WritePending);
    // A read while the write is pending does not overwrite the written value.
    High.StoreReadValue(0x2222, T2);
    EXPECT_TRUE(High.Value == 0xABCDu && High.ValueTime == T2);
}

TEST_F(HitachiLocation, ForcedValueReportsLocalOverrideUntilTheNextReadIsSkipped) {
    Word.StoreReadValue(7, T1);
    Word.ErrorCount = 9;
    Word.StoreForcedValue(500, T2);
    EXPECT_EQ(std::tuple(Word.Quality(true, true), Word.Quality(false, false)),
              std::tuple(QualityLocalOverride, QualityLocalOverride));
    // The PLC confirms the write; the next read is the one skipped.
    Word.WritePending = false;
    Word.ErrorCount = 0;
    Word.StoreReadValue(7, T2);
    EXPECT_EQ(std::tuple(Word.Value, Word.Quality(true, true)), std::tuple(500u, QualityGood));
    Word.StoreReadValue(8, T2);
    EXPECT_EQ(Word.Value, 8u);

    Double.StoreForcedValue(0x00010002, T1);
    EXPECT_EQ((std::array{High.Value, Low.Value}), (std::array{1u, 2u}));
    for (auto* l : {&High, &Low})
        EXPECT_EQ(std::tuple(l->SkipNextRead, l->HasValue, l->ValueTime, l->Quality(true, true)),
                  std::tuple(true, true, T1, QualityLocalOverride));
}

// Quality of a Word never read, read, with 2 to 5 failed reads, timed out and with an
// address error, under the four combinations of EnableUncertain and EnableBAD.
TEST_F(HitachiLocation, QualityTable) {
    struct TRow {
        bool Uncertain, Bad;
        std::uint16_t NeverRead, ThreeErrors, FiveErrors, TimedOut;
    };
    const TRow rows[] = {{true, true, 0x00, 0x44, 0x18, 0x44},
                         {true, false, 0x40, 0x44, 0x44, 0x44},
                         {false, false, 0xC0, 0xC0, 0xC0, 0xC0},
                         {false, true, 0x00, 0xC0, 0x18, 0xC0}};
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.Uncertain) + std::to_string(row.Bad));
        TSettings settings;
        std::tie(settings.EnableUncertain, settings.EnableBAD) = std::pair(row.Uncertain, row.Bad);
        THitachiLocation word;
        MakeWord(word, 0);
        std::vector<std::uint16_t> seen{word.Quality(settings)};
        word.StoreReadValue(1, T1);
        seen.push_back(word.Quality(settings));
        for (int errors : {2, 3, 4, 5}) word.ErrorCount = errors, seen.push_back(word.Quality(settings));
        std::tie(word.ErrorCount, word.TimedOut) = std::tuple(0, true);
        seen.push_back(word.Quality(settings));
        word.AddressError = true;
        seen.push_back(word.Quality(settings));
        EXPECT_EQ(seen, (std::vector<std::uint16_t>{row.NeverRead, QualityGood, QualityGood, row.ThreeErrors,
                                                    row.ThreeErrors, row.FiveErrors, row.TimedOut,
                                                    QualityConfigError}));
    }
    // A double word's quality comes from its halves.
    Double.StoreReadValue(0, T1);
    EXPECT_EQ(Double.Quality(true, true), QualityGood);
    High.TimedOut = true;
    EXPECT_EQ(Double.Quality(true, true), QualityLastUsable);
    High.ErrorCount = 3;
    EXPECT_EQ(Double.Quality(true, true), QualityLastUsable);
    Low.ErrorCount = 2; // a word is faulty for a device read from its second failed read
    EXPECT_TRUE(Low.IsFaulty());
    Low.ErrorCount = 5;
    EXPECT_EQ(Double.Quality(true, true), QualityCommFailure);
    High.AddressError = true;
    EXPECT_EQ(Double.Quality(true, true), QualityConfigError);
    EXPECT_TRUE(Double.IsFaulty());
    THitachiLocation lonely;
    lonely.IsDoubleWord = true;
    lonely.StoreReadValue(5, T1);
    EXPECT_EQ(std::tuple(lonely.Quality(false, false), lonely.IsFaulty()), std::tuple(QualityBad, false));
    lonely.TimedOut = true;
    EXPECT_TRUE(lonely.IsFaulty());
}

TEST_F(HitachiLocation, FreeingEitherSideUnlinksTheOther) {
    THitachiLocation low, high;
    MakeWord(low, 0);
    MakeWord(high, 1);
    {
        THitachiLocation dw;
        Link(dw, high, low);
    }
    EXPECT_TRUE(high.RefCount == 0 && low.RefCount == 0 && high.HighLink == nullptr &&
                low.LowLink == nullptr);
    // Reads on the orphaned words must not reach the freed double word.
    low.StoreReadValue(3, T1);
    high.StoreWrittenValue(4);

    THitachiLocation dw;
    dw.IsDoubleWord = true;
    {
        THitachiLocation word;
        dw.HighLink = &word;
        word.HighLink = &dw;
    }
    EXPECT_TRUE(dw.HighLink == nullptr && dw.GetValue() == 0u);
}

TEST_F(HitachiLocation, DisplayChangeNamesAndTypes) {
    TSettings settings;
    EXPECT_TRUE(Word.HasChangedForDisplay(settings)); // Changed at creation
    EXPECT_FALSE(Word.HasChangedForDisplay(settings));
    Word.StoreReadValue(0, T1); // same value, new time stamp and quality
    EXPECT_TRUE(Word.HasChangedForDisplay(settings));
    EXPECT_FALSE(Word.HasChangedForDisplay(settings));
    Word.RefreshCaption = true;
    EXPECT_TRUE(Word.HasChangedForDisplay(settings));

    EXPECT_EQ(Word.LocationName() + " " + Double.LocationName(), "WR0010 DR0000");
    EXPECT_EQ(std::tuple(Word.VarTypeOf(false), Word.VarTypeOf(true), Double.VarTypeOf(true)),
              std::tuple(VarTypeUI2, VarTypeI2, VarTypeI4));
    THitachiLocation bit;
    bit.VarType = VarTypeBool;
    EXPECT_EQ(bit.VarTypeOf(true), VarTypeBool);
    THitachiLocation text;
    text.Name = "ComInfo";
    text.VarType = VarTypeBstr;
    EXPECT_EQ(text.LocationName(), "ComInfo");
    text.StoreText("abc", T1);
    EXPECT_EQ(std::tuple(text.StringValue, text.HasValue), std::tuple("abc", true));
}

} // namespace
} // namespace dravon
