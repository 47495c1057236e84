// Text an operator types into the set-value dialog. The first byte picks the display
// format, the target type and the decimal separator; the rest is the text. Whatever is
// typed, an accepted value lies in the target's range, and a word never receives more
// than its 16 bits.
#include "support/FuzzInput.h"

#include "ui/SetValueText.h"

namespace {

using namespace dravon;
using fuzz::Check;

constexpr std::uint16_t Targets[] = {VarTypeUI2, VarTypeUI4, VarTypeBool, VarTypeBstr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto format = static_cast<TViewFormat>(data[0] % 5);
    const std::uint16_t target = Targets[(data[0] / 5) % 4];
    const char separator = (data[0] & 0x80) ? ',' : '.';
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

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
