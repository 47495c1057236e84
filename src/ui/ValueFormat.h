// Value and quality texts of the monitor lists (also the set-value dialog's first text).
#pragma once

#include <cstdint>
#include <string>

namespace dravon {

class THitachiLocation;

enum class TViewFormat : std::uint8_t { Dec = 0, SignedDec = 1, Hex = 2, FloatingPoint = 3, Fractional = 4 };

// What the text depends on, so the rules can be checked without a PLC.
struct TValueToFormat {
    std::uint32_t Value = 0; // word/bit 0..65535, double word high*65536+low
    bool IsDoubleWord = false;
    std::uint16_t VarType = 0;
    std::uint8_t View = 0;
    std::string StringValue; // used for VT_BSTR
};

std::string FormatValue(const TValueToFormat& value, bool allowFloat);
std::string FormatLocationValue(const THitachiLocation& location, bool allowFloat);
// "%.5e" with an upper-case E and at least three exponent digits: 1.50000E+000.
std::string FormatExponent(double value);
// The decimal separator FormatExponent writes (the C library's numeric locale).
char DisplayDecimalSeparator();
std::string QualityToText(std::uint16_t quality);
// "Bool", "Integer", "String" or "Long".
std::string VarTypeText(std::uint16_t varType);

} // namespace dravon
