#include "plc/MemoryTypes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

namespace dravon {
namespace {

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
