#include "app/TextFormat.h"

#include <algorithm>

namespace dravon {

std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            char k = format[i + 1];
            if (k == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (k == 's' || k == 'd') {
                if (next != args.end()) out += *next++;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

namespace {

// Length of the valid UTF-8 sequence at text[i] (shortest form, no surrogates), 0 if none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char second = length > 1 ? byte(i + 1) : 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

bool IsControl(std::string_view text, std::size_t i, std::size_t length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (length == 1) return lead < 0x20 || lead == 0x7F;
    // C1 controls U+0080-U+009F (CSI among them) are encoded C2 80 to C2 9F.
    return length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
}

} // namespace

std::string LogText(std::string_view text, std::size_t limit) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(std::min(text.size(), limit * 4) + 3);
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (characters == limit) return out + "...";
        std::size_t length = Utf8Length(text, i);
        if (length == 0 || IsControl(text, i, length)) {
            for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
                const auto byte = static_cast<unsigned char>(text[i + k]);
                out += "\\x";
                out += Hex[byte >> 4];
                out += Hex[byte & 15];
            }
            i += std::max<std::size_t>(length, 1);
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
        ++characters;
    }
    return out;
}

bool IsPrintableUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = Utf8Length(text, i);
        if (length == 0 || IsControl(text, i, length)) return false;
        i += length;
    }
    return true;
}

} // namespace dravon
