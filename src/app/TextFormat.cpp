#include "app/TextFormat.h"

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

} // namespace dravon
