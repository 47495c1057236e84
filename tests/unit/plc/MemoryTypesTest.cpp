#include "plc/MemoryTypes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace dravon {
namespace {

struct TAddressCase {
    const char* Text;
    int Row;
    std::uint32_t Address;
};

class ParseAddressValid : public ::testing::TestWithParam<TAddressCase> {};

TEST_P(ParseAddressValid, GivesRowAndPackedAddress) {
    const auto& c = GetParam();
    auto parsed = ParseAddress(c.Text);
    ASSERT_TRUE(parsed) << c.Text;
    EXPECT_EQ(parsed->Row, c.Row) << c.Text;
    EXPECT_EQ(parsed->Code, MemoryTypes[static_cast<std::size_t>(c.Row)].Code) << c.Text;
    EXPECT_EQ(parsed->Address, c.Address) << c.Text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseAddressValid,
    ::testing::Values(
        TAddressCase{"wr0010", 7, 0x10}, TAddressCase{"WR10", 7, 0x10}, TAddressCase{"Wr010", 7, 0x10},
        TAddressCase{"X00195", 0, 0x100 + 95}, TAddressCase{"X4FF95", 0, 0x4FF5F},
        TAddressCase{"x5", 0, 5},        // short text: all of it is the bit number
        TAddressCase{"WX0010", 1, 0x10}, // high part 1, word 0
        TAddressCase{"DX4FF9", 2, 0x4FF9}, TAddressCase{"R7FF", 6, 0x7FF}, TAddressCase{"DR0001", 8, 1},
        TAddressCase{"DIF0005", 17, 5}, TAddressCase{"DFN0511", 18, 511}, TAddressCase{"CL00100", 19, 100},
        TAddressCase{"CL04096", 19, 4096}, TAddressCase{"TMCNT0001", 21, 1}, TAddressCase{"TC0009", 20, 9},
        TAddressCase{"L73FFF", 14, 0x73FFF}, TAddressCase{"WEX5A7F", 23, 0x5A7F}, TAddressCase{"wey0", 25, 0},
        TAddressCase{"EY5A7FF", 24, 0x5A7FF}, TAddressCase{"M00000", 9, 0},
        // leading zeros are harmless, however many
        TAddressCase{"WR00000000000000000000000000000010", 7, 0x10}));

TEST(ParseAddress, RejectsBadTextAndOutOfRange) {
    for (const char* text : {"",
                             "R",
                             "WRG",
                             "R800",
                             "X00196",
                             "X4FF96",
                             "X50000",
                             "WR10000",
                             "DRFFFF",
                             "CL04097",
                             "CL10000",
                             "DIF0512",
                             "WX0019x",
                             "WR-1",
                             "WR 10",
                             "Q10",
                             "X",
                             "WX",
                             "DIF",
                             "WR+10",
                             "WR100000000",
                             "WRFFFFFFFF",
                             "X1000000000000",
                             "DX4FFA"}) {
        EXPECT_FALSE(ParseAddress(text)) << text;
    }
    // Digits overflowing 32 bits fail instead of wrapping into range.
    EXPECT_FALSE(ParseAddress("WR1" + std::string(100, '0')));
    EXPECT_FALSE(ParseAddress("WR100000010")); // 0x1_0000_0010 would wrap to 0x10
    EXPECT_FALSE(ParseAddress("X10000000095"));
}

TEST(FormatAddress, CanonicalTexts) {
    EXPECT_EQ(FormatAddress(7, 0x10), "WR0010");
    EXPECT_EQ(FormatAddress(0, 0x100 + 95), "X00195");
    EXPECT_EQ(FormatAddress(1, 0x10), "WX0010");
    EXPECT_EQ(FormatAddress(17, 5), "DIF0005");
    EXPECT_EQ(FormatAddress(19, 100), "CL00100");
    EXPECT_EQ(FormatAddress(9, 0), "M00000");
    EXPECT_EQ(FormatAddress(6, 0x7FF), "R7FF");
    EXPECT_EQ(FormatAddress(13, 0x1FFFE), "DN1FFFE");
    EXPECT_EQ(FormatAddress(-1, 0), "");
    EXPECT_EQ(FormatAddress(MemoryTypeCount, 0), "");
}

// Every row's canonical text must parse back to that row: a prefix shadowed by an earlier
// row (WX by X, TMCNT by TC, WEX by WX) would break it.
TEST(FormatAddress, ParsesBackToTheSameRowForEveryType) {
    for (int row = 0; row < MemoryTypeCount; ++row) {
        const MemoryTypeInfo& info = MemoryTypes[static_cast<std::size_t>(row)];
        const std::uint32_t module = 1u << (4 * info.SubDigits);
        for (std::uint32_t address : {0u, 1u, info.MaxAddress / module / 2 * module, info.MaxAddress}) {
            std::string text = FormatAddress(row, address);
            auto parsed = ParseAddress(text);
            ASSERT_TRUE(parsed) << text;
            EXPECT_EQ(parsed->Row, row) << text;
            EXPECT_EQ(parsed->Address, address) << text;
        }
    }
}

// The published table, row by row: name, code, sub-digits, highest packed address and its
// hex digits, value type, double word, browse flag.
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
        const MemoryTypeInfo& info = MemoryTypes[static_cast<std::size_t>(row)];
        char text[64];
        std::snprintf(text, sizeof text, "%s %d %d %X %d %u %d %d", info.Name, info.Code, info.SubDigits,
                      static_cast<unsigned>(info.MaxAddress), info.MaxDigits, unsigned{info.VarType},
                      info.IsDoubleWord ? 1 : 0, info.BrowseFlag ? 1 : 0);
        EXPECT_EQ(std::string(text), rows[row]) << "row " << row;
        EXPECT_EQ(info.MinAddress, 0u) << "row " << row;
    }
}

TEST(MemoryTypes, DoubleWordRowsBelongToTheirWordRow) {
    for (int row = 0; row < MemoryTypeCount; ++row) {
        const MemoryTypeInfo& info = MemoryTypes[static_cast<std::size_t>(row)];
        if (!info.IsDoubleWord) continue;
        // DX/DY count words within an I/O module; their limit is the word row's.
        const MemoryTypeInfo& word = MemoryTypes[static_cast<std::size_t>(WordRowOf(row))];
        EXPECT_EQ(word.Code, info.Code);
        EXPECT_FALSE(word.IsDoubleWord);
        EXPECT_EQ(info.MaxAddress + (info.SubDigits == 0 ? 1 : 0), word.MaxAddress) << info.Name;
    }
    EXPECT_EQ(RowOfCode(8, false), 1);
    EXPECT_EQ(RowOfCode(8, true), 2);
    EXPECT_EQ(RowOfCode(99, false), -1);
}

TEST(IoAddressParts, HighByteForExtendedTypesIncludingL) {
    using Parts = std::array<std::uint8_t, 3>;
    EXPECT_EQ(IoAddressParts(0, 0x4FF5F), (Parts{0x04, 0xFF, 0x5F}));
    EXPECT_EQ(IoAddressParts(32, 0x1FFFF), (Parts{0x01, 0xFF, 0xFF}));
    // L10000 must not alias L0000 on the wire.
    EXPECT_EQ(IoAddressParts(3, 0x10000), (Parts{0x01, 0x00, 0x00}));
    EXPECT_EQ(IoAddressParts(3, 0x73FFF), (Parts{0x07, 0x3F, 0xFF}));
    EXPECT_EQ(IoAddressParts(10, 0x1234), (Parts{0x00, 0x12, 0x34}));
    EXPECT_EQ(IoAddressParts(10, 0x51234), (Parts{0x00, 0x12, 0x34}));
    for (int code : {0, 1, 3, 4, 32, 48, 49}) EXPECT_TRUE(CarriesHighAddressByte(code)) << code;
    for (int code : {2, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 56, 57})
        EXPECT_FALSE(CarriesHighAddressByte(code)) << code;
}

} // namespace
} // namespace dravon
