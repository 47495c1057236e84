#include "comm/SerialSpy.h"

#include <cmath>
#include <cstdio>

namespace dravon {

std::string SpyTimeText(TDateTime value) {
    double fraction = value - std::floor(value);
    auto ms = static_cast<long long>(std::llround(fraction * 86400000.0));
    if (ms >= 86400000LL) ms = 86399999LL;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return text;
}

std::string SerialSpyLine(bool transmit, TDateTime time, std::span<const std::uint8_t> bytes) {
    static const char* Hex = "0123456789ABCDEF";
    std::string chars;
    std::string hex;
    chars.reserve(bytes.size() * 2);
    hex.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        // The character shown is the Latin-1 character of that code, written as UTF-8 so
        // the log stays valid text.
        unsigned shown = b < 0x0F ? b + 0xDFu : b;
        if (shown < 0x80) {
            chars.push_back(static_cast<char>(shown));
        } else {
            chars.push_back(static_cast<char>(0xC0 | (shown >> 6)));
            chars.push_back(static_cast<char>(0x80 | (shown & 0x3F)));
        }
        hex.push_back(Hex[b >> 4]);
        hex.push_back(Hex[b & 0x0F]);
        hex.push_back(' ');
    }
    std::string line = transmit ? "[Tx] [" : "[Rx] [";
    line += SpyTimeText(time);
    line += "] ";
    line += chars;
    line += transmit ? "  ( " : "  (";
    line += hex;
    line += ")";
    return line;
}

} // namespace dravon
