// The text rules of the dialogs' number fields, free of any widget: which characters a
// base allows, reading a text in a base and whether a text fits a field's maximum.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravon {

enum class TNumberBase { Decimal, Hexadecimal, Binary, Octal };

inline std::string_view AllowedDigits(TNumberBase base) {
    switch (base) {
    case TNumberBase::Hexadecimal: return "0123456789abcdefABCDEF";
    case TNumberBase::Binary: return "01";
    case TNumberBase::Octal: return "01234567";
    default: return "0123456789";
    }
}

inline int Radix(TNumberBase base) {
    switch (base) {
    case TNumberBase::Hexadecimal: return 16;
    case TNumberBase::Binary: return 2;
    case TNumberBase::Octal: return 8;
    default: return 10;
    }
}

// Digits of the base only; nothing for an empty text or a value beyond 32 bits.
inline std::optional<std::uint32_t> ReadNumberText(std::string_view text, TNumberBase base) {
    if (text.empty()) return std::nullopt;
    const std::string_view allowed = AllowedDigits(base);
    std::uint64_t value = 0;
    for (char c : text) {
        if (allowed.find(c) == std::string_view::npos) return std::nullopt;
        const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        value = value * static_cast<std::uint64_t>(Radix(base)) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Upper-case digits, no leading zeros.
inline std::string NumberToText(std::uint32_t value, TNumberBase base) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    const auto radix = static_cast<std::uint32_t>(Radix(base));
    std::string text;
    do {
        text.insert(text.begin(), Digits[value % radix]);
        value /= radix;
    } while (value != 0);
    return text;
}

// A field's text is valid when it reads as a number of at most 31 bits and, with a
// maximum (0: none), lies in 0 .. maxValue and is no longer than the maximum written in
// the base (at equal length not greater as text), so leading zeros cannot make it longer.
inline std::optional<std::int32_t> FieldValueOf(std::string_view text, TNumberBase base,
                                                std::int32_t maxValue) {
    const auto value = ReadNumberText(text, base);
    if (!value || *value > 0x7FFFFFFFu) return std::nullopt;
    if (maxValue <= 0) return static_cast<std::int32_t>(*value);
    if (*value > static_cast<std::uint32_t>(maxValue)) return std::nullopt;
    const std::string maxText = NumberToText(static_cast<std::uint32_t>(maxValue), base);
    if (text.size() > maxText.size()) return std::nullopt;
    if (text.size() == maxText.size()) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char a = text[i] >= 'a' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
            if (a != maxText[i]) {
                if (a > maxText[i]) return std::nullopt;
                break;
            }
        }
    }
    return static_cast<std::int32_t>(*value);
}

} // namespace dravon
