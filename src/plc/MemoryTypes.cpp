#include "plc/MemoryTypes.h"

#include <algorithm>

namespace dravon {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal digits only; fails on anything else and on values above 32 bits.
std::optional<std::uint32_t> ReadHex(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> ReadDecimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::uint64_t PowerOf16(int n) { return std::uint64_t{1} << (4 * n); }

} // namespace

std::optional<TParsedAddress> ParseAddress(std::string_view text) {
    int row = -1;
    for (int i = 0; i < MemoryTypeCount && row < 0; ++i) {
        std::string_view name = MemoryTypes[i].Name;
        if (text.size() < name.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < name.size() && same; ++k) same = UpperAscii(text[k]) == name[k];
        if (same) row = i;
    }
    if (row < 0) return std::nullopt;
    const MemoryTypeInfo& info = MemoryTypes[row];
    std::string_view rest = text.substr(std::string_view(info.Name).size());
    const int n = info.SubDigits;
    std::uint64_t packed = 0;
    if (n > 0) {
        std::size_t lowLength = std::min<std::size_t>(rest.size(), static_cast<std::size_t>(n));
        std::string_view high = rest.substr(0, rest.size() - lowLength);
        std::string_view low = rest.substr(rest.size() - lowLength);
        std::uint32_t highValue = 0;
        if (!high.empty()) {
            auto value = ReadHex(high);
            if (!value) return std::nullopt;
            highValue = *value;
        }
        auto lowValue = ReadDecimal(low);
        if (!lowValue) return std::nullopt;
        if (*lowValue > info.MaxAddress % PowerOf16(n)) return std::nullopt;
        packed = highValue * PowerOf16(n) + *lowValue;
    } else {
        auto value = ReadHex(rest);
        if (!value) return std::nullopt;
        packed = *value;
    }
    if (packed < info.MinAddress || packed > info.MaxAddress) return std::nullopt;
    return TParsedAddress{info.Code, static_cast<std::uint32_t>(packed), row};
}

std::string FormatAddress(int row, std::uint32_t address) {
    if (row < 0 || row >= MemoryTypeCount) return {};
    const MemoryTypeInfo& info = MemoryTypes[row];
    const int n = info.SubDigits;
    const std::uint64_t scale = PowerOf16(n);
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string hex;
    for (std::uint64_t high = address / scale; high != 0; high /= 16)
        hex.insert(hex.begin(), Digits[high % 16]);
    std::size_t width = static_cast<std::size_t>(std::max(info.MaxDigits - n, 1));
    if (hex.size() < width) hex.insert(0, width - hex.size(), '0');
    std::string text = std::string(info.Name) + hex;
    if (n > 0) {
        std::string low = std::to_string(address % scale);
        if (low.size() < static_cast<std::size_t>(n))
            low.insert(0, static_cast<std::size_t>(n) - low.size(), '0');
        text += low;
    }
    return text;
}

int RowOfCode(int code, bool isDoubleWord) {
    for (int i = 0; i < MemoryTypeCount; ++i)
        if (MemoryTypes[i].Code == code && MemoryTypes[i].IsDoubleWord == isDoubleWord) return i;
    return -1;
}

int WordRowOf(int row) {
    if (row < 0 || row >= MemoryTypeCount) return row;
    for (int i = 0; i < MemoryTypeCount; ++i)
        if (MemoryTypes[i].Code == MemoryTypes[row].Code) return i;
    return row;
}

} // namespace dravon
