#include "plc/Variables.h"

namespace dravon {

namespace {
std::string TwoDigits(std::uint64_t value) {
    std::string text = std::to_string(value);
    return text.size() < 2 ? "0" + text : text;
}
} // namespace

std::string UpTimeText(std::uint64_t milliseconds) {
    const std::uint64_t days = milliseconds / 86400000;
    std::string text = TwoDigits(milliseconds / 3600000 % 24) + ":" + TwoDigits(milliseconds / 60000 % 60) +
                       ":" + TwoDigits(milliseconds / 1000 % 60);
    if (days > 0) text = std::to_string(days) + " days, " + text;
    return text;
}

} // namespace dravon
