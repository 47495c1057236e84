// Text an operator types into the set-value dialog or a number field of the configuration
// dialog, key by key or pasted. The first byte picks the display format, the target type
// and the decimal separator, and the number field's base and maximum; the rest is the text.
// Whatever is typed, an accepted value lies in the target's range, a word never receives
// more than its 16 bits, and a number field never holds a text outside its rules.
#include "support/FuzzInput.h"

#include "ui/NumberText.h"
#include "ui/SetValueText.h"

namespace {

using namespace dravon;
using fuzz::Check;

constexpr std::uint16_t Targets[] = {VarTypeUI2, VarTypeUI4, VarTypeBool, VarTypeBstr};
constexpr TNumberBase Bases[] = {TNumberBase::Decimal, TNumberBase::Hexadecimal, TNumberBase::Binary,
                                 TNumberBase::Octal};
// The dialog's maxima (0: none).
constexpr std::int32_t Maxima[] = {0, 31, 54, 100, 120, 255, 9999, 99999, 65535, 0x7FFFFFFF};

void CheckValue(std::string_view text, TNumberBase base, std::int32_t maxValue, std::int32_t value) {
    Check(value >= 0 && (maxValue <= 0 || value <= maxValue));
    Check(text.find_first_not_of(AllowedDigits(base)) == std::string_view::npos);
    // The value's own text reads back as the value.
    Check(ReadNumberText(NumberToText(static_cast<std::uint32_t>(value), base), base) ==
          static_cast<std::uint32_t>(value));
}

void NumberField(const std::string& text, TNumberBase base, std::int32_t maxValue) {
    // Pasted at once.
    if (const auto value = FieldValueOf(text, base, maxValue)) CheckValue(text, base, maxValue, *value);
    // Typed: a character outside the base is dropped, a change that breaks the rules undone.
    std::string field;
    for (char c : text) {
        if (c == '\b') {
            if (!field.empty()) field.pop_back();
        } else if (AllowedDigits(base).find(c) != std::string_view::npos) {
            std::string changed = field + c;
            if (FieldValueOf(changed, base, maxValue)) field = changed;
        }
        if (!field.empty()) {
            const auto value = FieldValueOf(field, base, maxValue);
            Check(value.has_value());
            CheckValue(field, base, maxValue, *value);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto format = static_cast<TViewFormat>(data[0] % 5);
    const std::uint16_t target = Targets[(data[0] / 5) % 4];
    const char separator = (data[0] & 0x80) ? ',' : '.';
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    NumberField(text, Bases[data[0] % 4], Maxima[(data[0] / 4) % 10]);

    const std::string normalized = NormalizeValueText(text);
    Check(normalized.find_first_of(" hH") == std::string::npos);

    const TEnteredValue entered = ReadEnteredValue(text, format, target, separator);
    if (entered.Ok) {
        const TValueRange range = SetValueRange(target, format);
        Check(entered.Value >= range.Min && entered.Value <= range.Max && entered.Message.empty());
        Check(ValueForTarget(entered.Value, false) <= 0xFFFFu);
        // An accepted integer reads back the same from its decimal text.
        if (format != TViewFormat::FloatingPoint && format != TViewFormat::Fractional) {
            Check(ReadIntegerText(std::to_string(entered.Value)) == entered.Value);
        }
    }
    Check(entered.Ok || !entered.Message.empty());
    if (const auto number = ReadIntegerText(normalized))
        Check(ReadIntegerText(std::to_string(*number)) == number);
    (void)ReadFloatText(normalized, separator);
    return 0;
}
