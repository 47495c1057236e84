// Text an operator types into the set-value dialog. The first byte picks the display
// format, the target type and the decimal separator; the rest is the text. Whatever is
// typed, an accepted value lies in the target's range, and a word never receives more
// than its 16 bits.
#include "ui/SetValueText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace dravon;

constexpr std::uint16_t Targets[] = {VarTypeUI2, VarTypeUI4, VarTypeBool, VarTypeBstr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto format = static_cast<TViewFormat>(data[0] % 5);
    const std::uint16_t target = Targets[(data[0] / 5) % 4];
    const char separator = (data[0] & 0x80) ? ',' : '.';
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string normalized = NormalizeValueText(text);
    for (char c : normalized)
        if (c == ' ' || c == 'h' || c == 'H') std::abort();

    const TEnteredValue entered = ReadEnteredValue(text, format, target, separator);
    if (entered.Ok) {
        const TValueRange range = SetValueRange(target, format);
        if (entered.Value < range.Min || entered.Value > range.Max) std::abort();
        if (ValueForTarget(entered.Value, false) > 0xFFFFu) std::abort();
        if (!entered.Message.empty()) std::abort();
        // An accepted integer reads back the same from its decimal text.
        if (format != TViewFormat::FloatingPoint && format != TViewFormat::Fractional) {
            const auto again = ReadIntegerText(std::to_string(entered.Value));
            if (!again || *again != entered.Value) std::abort();
        }
    } else if (entered.Message.empty()) {
        std::abort();
    }
    if (const auto number = ReadIntegerText(normalized); number) {
        const auto again = ReadIntegerText(std::to_string(*number));
        if (!again || *again != *number) std::abort();
    }
    (void)ReadFloatText(normalized, separator);
    return 0;
}
