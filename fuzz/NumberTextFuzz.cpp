// Text that reaches a number field of the configuration dialog, key by key or pasted. The
// first byte picks the base and the field's maximum; the rest is the text. A field never
// holds a text outside its rules, whatever arrives.
#include "support/FuzzInput.h"

#include "ui/NumberText.h"

namespace {

using namespace dravon;
using fuzz::Check;

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const TNumberBase base = Bases[data[0] % 4];
    const std::int32_t maxValue = Maxima[(data[0] / 4) % 10];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

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
    return 0;
}
