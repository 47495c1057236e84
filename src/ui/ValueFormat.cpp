#include "ui/ValueFormat.h"

#include "plc/HitachiLocation.h"
#include "plc/MemoryTypes.h"

#include <bit>
#include <cstdio>

namespace dravon {

std::string FormatExponent(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.5E", value);
    std::string text = buffer;
    // The C library writes two exponent digits; operators know the three-digit form.
    const auto e = text.find('E');
    if (e == std::string::npos || e + 2 > text.size()) return text; // inf/nan
    const std::size_t digits = text.size() - (e + 2);
    if (digits < 3) text.insert(e + 2, 3 - digits, '0');
    return text;
}

char DisplayDecimalSeparator() {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%.1f", 0.5);
    return buffer[1];
}

std::string FormatValue(const TValueToFormat& v, bool allowFloat) {
    if (v.VarType == VarTypeBstr) return v.StringValue;
    const auto view = static_cast<TViewFormat>(v.View);
    char buffer[32];
    if (v.IsDoubleWord && allowFloat && view == TViewFormat::FloatingPoint)
        return FormatExponent(std::bit_cast<float>(v.Value));
    if (v.IsDoubleWord && allowFloat && view == TViewFormat::Fractional) {
        // Single precision on purpose: the operator compares with what the PLC computes.
        const float fraction = static_cast<float>(static_cast<std::int32_t>(v.Value)) / 65535.0f;
        return FormatExponent(fraction);
    }
    if (view == TViewFormat::Hex) {
        if (v.IsDoubleWord)
            std::snprintf(buffer, sizeof buffer, "H%04X %04X", static_cast<unsigned>(v.Value >> 16),
                          static_cast<unsigned>(v.Value & 0xFFFFu));
        else
            std::snprintf(buffer, sizeof buffer, "H%04X", static_cast<unsigned>(v.Value));
        return buffer;
    }
    if (view == TViewFormat::SignedDec) {
        if (v.IsDoubleWord) return std::to_string(static_cast<std::int32_t>(v.Value));
        return std::to_string(static_cast<std::int16_t>(static_cast<std::uint16_t>(v.Value & 0xFFFFu)));
    }
    return std::to_string(v.Value);
}

std::string FormatLocationValue(const THitachiLocation& location, bool allowFloat) {
    TValueToFormat v;
    v.Value = location.GetValue();
    v.IsDoubleWord = location.IsDoubleWord;
    v.VarType = location.VarType;
    v.View = location.View;
    v.StringValue = location.StringValue;
    return FormatValue(v, allowFloat);
}

std::string QualityToText(std::uint16_t q) {
    const unsigned sub = q & 0xFCu;
    switch (q & 0xC0u) {
    case 0x00:
        switch (sub) {
        case 4: return "CONFIG_ERROR";
        case 8: return "NOT_CONNECTED";
        case 12: return "DEVICE_FAILURE";
        case 16: return "SENSOR_FAILURE";
        case 20: return "LAST_KNOWN";
        case 24: return "COMM_FAILURE";
        case 28: return "OUT_OF_SERVICE";
        default: return "BAD";
        }
    case 0x40:
        switch (sub) {
        case 68: return "LAST_USABLE";
        case 80: return "SENSOR_CAL";
        case 84: return "EGU_EXCEEDED";
        case 88: return "SUB_NORMAL";
        default: return "UNCERTAIN";
        }
    case 0xC0: return sub == 216 ? "LOCAL_OVERRIDE" : "GOOD";
    default: return {};
    }
}

std::string VarTypeText(std::uint16_t varType) {
    switch (varType) {
    case VarTypeBool: return "Bool";
    case VarTypeUI2: return "Integer";
    case VarTypeBstr: return "String";
    default: return "Long";
    }
}

} // namespace dravon
