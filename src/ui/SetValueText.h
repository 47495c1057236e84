// Reading the text an operator types into the set-value dialog: blanks dropped, "h"/"H"
// as the hexadecimal prefix, the number read in the display format of the location, the
// range of the target type checked. Plain C++ without Qt, so every typed text can also be
// fed to a fuzz target.
#pragma once

#include "plc/MemoryTypes.h"
#include "ui/ValueFormat.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

inline constexpr const char* FractionalValueMessage = "Fractional value should be entered";
inline constexpr const char* FloatingPointValueMessage = "Floating point value should be entered";
inline constexpr const char* NumericalValueMessage = "Numerical value should be entered";
inline constexpr const char* OutOfRangeMessage = "Out of range";

// What the dialog needs to know of one target location.
struct TSetValueTarget {
    std::uint16_t VarType = VarTypeUI2;
    bool Writable = true;
};

struct TValueRange {
    std::int64_t Min = 0;
    std::int64_t Max = 0;
};

struct TEnteredValue {
    bool Ok = false;
    std::string Message;    // the error box text when not Ok
    std::int64_t Value = 0; // the number read, inside the range when Ok
};

// Every blank removed, every "h" or "H" replaced by the hexadecimal prefix "$".
inline std::string NormalizeValueText(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        result += (c == 'h' || c == 'H') ? '$' : c;
    }
    return result;
}

// A 64-bit integer: optional sign, then decimal digits, or "$" (or "0x") and hexadecimal
// digits. Nothing may follow; a value beyond 64 bits is not a number.
inline std::optional<std::int64_t> ReadIntegerText(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        if (magnitude > (UINT64_MAX - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base))
            return std::nullopt;
        magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    constexpr std::uint64_t Largest = static_cast<std::uint64_t>(INT64_MAX);
    if (!negative) {
        if (magnitude > Largest) return std::nullopt;
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > Largest + 1) return std::nullopt;
    return magnitude == Largest + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

// A decimal floating-point number with ".", "," or the given decimal separator (the one the
// lists show in the desktop's locale; an operator types "1,5" or "1.5" whatever the desktop's
// locale): optional sign, digits with at most one separator (at least one digit), optional
// exponent "e"/"E" with sign and digits. No hexadecimal, no "inf" or "nan", no grouping. A
// magnitude beyond double precision gives infinity, so that it is reported as out of range rather than as
// "not a number".
inline std::optional<double> ReadFloatText(std::string_view text, char decimalSeparator = '.') {
    std::string plain;
    plain.reserve(text.size());
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int digits = 0;
    bool separator = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            ++digits;
            plain += c;
        } else if ((c == decimalSeparator || c == '.' || c == ',') && !separator) {
            separator = true;
            plain += '.';
        } else {
            break;
        }
    }
    if (digits == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        plain += 'e';
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) plain += text[i++];
        int exponentDigits = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++exponentDigits) plain += text[i];
        if (exponentDigits == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    if (plain.front() == '.') plain.insert(plain.begin(), '0');
    double value = 0;
    const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    if (end != plain.data() + plain.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        // Too small becomes zero, too large infinity: tell them apart by the exponent.
        const std::size_t e = plain.find('e');
        const bool tiny = e != std::string::npos && e + 1 < plain.size() && plain[e + 1] == '-';
        value = tiny ? 0.0 : HUGE_VAL;
    } else if (error != std::errc()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// Nearest integer, halves to the even neighbour (32767.5 gives 32768, -32767.5 gives -32768).
inline double RoundHalfToEven(double value) {
    const double floor = std::floor(value);
    const double fraction = value - floor;
    if (fraction > 0.5) return floor + 1;
    if (fraction < 0.5) return floor;
    return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

// VT_BOOL when any writable target is a bit; else the type of the first writable target
// that is not VT_UI4; else VT_UI4.
inline std::uint16_t SetValueTargetType(const std::vector<TSetValueTarget>& targets) {
    for (const TSetValueTarget& target : targets)
        if (target.Writable && target.VarType == VarTypeBool) return VarTypeBool;
    for (const TSetValueTarget& target : targets)
        if (target.Writable && target.VarType != VarTypeUI4) return target.VarType;
    return VarTypeUI4;
}

inline TValueRange SetValueRange(std::uint16_t targetType, TViewFormat format) {
    const bool isSigned = format == TViewFormat::SignedDec;
    if (targetType == VarTypeUI4)
        return isSigned ? TValueRange{INT32_MIN, INT32_MAX} : TValueRange{0, UINT32_MAX};
    if (targetType == VarTypeUI2) return isSigned ? TValueRange{-32768, 32767} : TValueRange{0, 65535};
    return {0, 1};
}

// The typed text read in the format and checked against the target type's range.
inline TEnteredValue ReadEnteredValue(std::string_view typed, TViewFormat format, std::uint16_t targetType,
                                      char decimalSeparator = '.') {
    const std::string text = NormalizeValueText(typed);
    TEnteredValue result;
    const bool floating = format == TViewFormat::FloatingPoint || format == TViewFormat::Fractional;
    if (floating) {
        const std::optional<double> number = ReadFloatText(text, decimalSeparator);
        if (!number) {
            result.Message =
                format == TViewFormat::Fractional ? FractionalValueMessage : FloatingPointValueMessage;
            return result;
        }
        // Kept in single precision, as the PLC's double word holds it.
        const float single = static_cast<float>(*number);
        if (!std::isfinite(single)) {
            result.Message = OutOfRangeMessage;
            return result;
        }
        if (format == TViewFormat::FloatingPoint) {
            result.Value = std::bit_cast<std::uint32_t>(single);
        } else {
            const double scaled = RoundHalfToEven(static_cast<double>(single) * 65535.0);
            // Far outside every range; no conversion of a value beyond 64 bits.
            if (std::fabs(scaled) > 9.0e15) {
                result.Message = OutOfRangeMessage;
                return result;
            }
            result.Value = static_cast<std::int64_t>(scaled);
        }
    } else {
        const std::optional<std::int64_t> number = ReadIntegerText(text);
        if (!number) {
            result.Message = NumericalValueMessage;
            return result;
        }
        result.Value = *number;
    }
    const TValueRange range = SetValueRange(targetType, format);
    if (result.Value < range.Min || result.Value > range.Max) {
        result.Message =
            floating ? std::string(OutOfRangeMessage)
                     : "Valid values are " + std::to_string(range.Min) + ".." + std::to_string(range.Max);
        return result;
    }
    result.Ok = true;
    return result;
}

// What one target stores: the low 32 bits for a double word; a word or bit keeps only its
// own 16 bits (a negative Signed Dec value would otherwise sit in a word as 0xFFFFxxxx).
inline std::uint32_t ValueForTarget(std::int64_t value, bool isDoubleWord) {
    const auto low32 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value) & 0xFFFFFFFFu);
    return isDoubleWord ? low32 : (low32 & 0xFFFFu);
}

} // namespace dravon
