// Locations (values, halves, quality, names) and the memory types their addresses name.
#include "plc/HitachiLocation.h"
#include "plc/MemoryTypes.h"

#include "app/Settings.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
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

// Address texts: the row and packed address they parse to and their canonical text.
TEST(MemoryTypes, AddressTexts) {
    struct TRow {
        std::string Text;
        int Row;
        std::uint32_t Address;
        const char* Canonical;
    };
    // clang-format off
    const TRow rows[] = {
        {"wr0010", 7, 0x10, "WR0010"}, {"WR10", 7, 0x10, "WR0010"}, {"Wr010", 7, 0x10, "WR0010"},
        {"X00195", 0, 0x100 + 95, "X00195"}, {"X4FF95", 0, 0x4FF5F, "X4FF95"},
        {"x5", 0, 5, "X00005"}, // short text: all of it is the bit number
        {"WX0010", 1, 0x10, "WX0010"}, // high part 1, word 0
        {"DX4FF9", 2, 0x4FF9, "DX4FF9"}, {"R7FF", 6, 0x7FF, "R7FF"}, {"DR0001", 8, 1, "DR0001"},
        {"DIF0005", 17, 5, "DIF0005"}, {"DFN0511", 18, 511, "DFN0511"}, {"CL00100", 19, 100, "CL00100"},
        {"CL04096", 19, 4096, "CL04096"}, {"TMCNT0001", 21, 1, "TMCNT00001"}, {"TC0009", 20, 9, "TC00009"},
        {"L73FFF", 14, 0x73FFF, "L73FFF"}, {"WEX5A7F", 23, 0x5A7F, "WEX5A7F"}, {"wey0", 25, 0, "WEY0000"},
        {"EY5A7FF", 24, 0x5A7FF, "EY5A7FF"}, {"M00000", 9, 0, "M00000"}, {"DN1FFFE", 13, 0x1FFFE, "DN1FFFE"},
        // leading zeros are harmless, however many
        {"WR00000000000000000000000000000010", 7, 0x10, "WR0010"},
        {"WR" + std::string(70000, '0') + "1", 7, 1, "WR0001"},
    };
    // Refused: bad text, out of range, and digits overflowing 32 bits (never wrapped into range).
    const std::string refused[] = {
        "", "R", "WRG", "R800", "X00196", "X4FF96", "X50000", "WR10000", "DRFFFF", "CL04097", "CL10000",
        "DIF0512", "WX0019x", "WR-1", "WR 10", "Q10", "X", "WX", "DIF", "WR+10", "WR100000000", "WRFFFFFFFF",
        "X1000000000000", "DX4FFA", "WR1" + std::string(100, '0'), "WR100000010", "X10000000095"};
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Text.substr(0, 40));
        const auto parsed = ParseAddress(row.Text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(std::tuple(parsed->Row, parsed->Code, parsed->Address),
                  std::tuple(row.Row, MemoryTypes[static_cast<std::size_t>(row.Row)].Code, row.Address));
        EXPECT_EQ(FormatAddress(row.Row, row.Address), row.Canonical);
    }
    for (const std::string& text : refused) EXPECT_FALSE(ParseAddress(text)) << text.substr(0, 40);
    EXPECT_EQ(FormatAddress(-1, 0) + FormatAddress(MemoryTypeCount, 0), "");
}

// The published table, row by row: name, code, sub-digits, highest packed address and its
// hex digits, value type, double word, browse flag. Every row's canonical texts parse back
// to that row (a prefix shadowed by an earlier row, WX by X, TMCNT by TC, would not), and a
// double word's row names its word row.
TEST(MemoryTypes, EveryRowAsPublished) {
    const char* rows[MemoryTypeCount] = {
        "X 0 2 4FF5F 5 11 0 1",    "WX 8 1 4FF9 4 18 0 1",   "DX 8 1 4FF9 4 19 1 1",
        "Y 1 2 4FF5F 5 11 0 1",    "WY 9 1 4FF9 4 18 0 1",   "DY 9 1 4FF9 4 19 1 1",
        "R 2 0 7FF 3 11 0 1",      "WR 10 0 FFFF 4 18 0 0",  "DR 10 0 FFFE 4 19 1 0",
        "M 4 0 7FFFF 5 11 0 0",    "WM 12 0 7FFF 4 18 0 0",  "DM 12 0 7FFE 4 19 1 0",
        "WN 32 0 1FFFF 5 18 0 1",  "DN 32 0 1FFFE 5 19 1 1", "L 3 0 73FFF 5 11 0 0",
        "WL 11 0 73FF 4 18 0 0",   "DL 11 0 73FE 4 19 1 0",  "DIF 14 3 1FF 3 11 0 0",
        "DFN 15 3 1FF 3 11 0 0",   "CL 6 4 1000 4 11 0 0",   "TC 13 4 1000 4 18 0 0",
        "TMCNT 5 4 1000 4 11 0 0", "EX 48 0 5A7FF 5 11 0 1", "WEX 56 0 5A7F 4 18 0 1",
        "EY 49 0 5A7FF 5 11 0 1",  "WEY 57 0 5A7F 4 18 0 1"};
    for (int row = 0; row < MemoryTypeCount; ++row) {
        SCOPED_TRACE(rows[row]);
        const MemoryTypeInfo& info = MemoryTypes[static_cast<std::size_t>(row)];
        char text[64];
        std::snprintf(text, sizeof text, "%s %d %d %X %d %u %d %d", info.Name, info.Code, info.SubDigits,
                      static_cast<unsigned>(info.MaxAddress), info.MaxDigits, unsigned{info.VarType},
                      info.IsDoubleWord ? 1 : 0, info.BrowseFlag ? 1 : 0);
        EXPECT_EQ(std::string(text), rows[row]);
        EXPECT_EQ(info.MinAddress, 0u);
        EXPECT_EQ(RowOfCode(info.Code, info.IsDoubleWord), row);
        EXPECT_EQ(WordRowOf(row), RowOfCode(info.Code, false));
        const std::uint32_t module = 1u << (4 * info.SubDigits);
        for (std::uint32_t address : {0u, 1u, info.MaxAddress / module / 2 * module, info.MaxAddress}) {
            const auto parsed = ParseAddress(FormatAddress(row, address));
            ASSERT_TRUE(parsed) << address;
            EXPECT_EQ(std::pair(parsed->Row, parsed->Address), std::pair(row, address));
        }
    }
    EXPECT_EQ(RowOfCode(99, false), -1);
}

} // namespace
} // namespace dravon
