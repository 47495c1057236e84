#include "plc/ItemId.h"

#include <limits>

namespace dravon {

namespace {

// Decimal integer with an optional sign; anything else counts as 0. Saturates instead of
// overflowing, so a count of any length stays a number the caller can bound.
long long CountValue(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return 0;
    constexpr long long Limit = std::numeric_limits<int>::max();
    long long value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return 0;
        if (value < Limit) value = value * 10 + (c - '0');
    }
    if (value > Limit) value = Limit;
    return negative ? -value : value;
}

long long Halve(long long n) { return (n - 1) / 2 + 1; }

} // namespace

std::string TrimText(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return std::string(text.substr(begin, end - begin));
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

TItemIdParts ParseItemId(std::string_view itemId) {
    TItemIdParts parts;
    parts.Trimmed = TrimText(itemId);
    std::string text = LowerAscii(parts.Trimmed);
    if (text.find('.') == std::string::npos) return parts;
    parts.Valid = true;

    const std::size_t asc = text.find(".asc.");
    const std::size_t arr = text.find(".arr.");
    // A suffix with nothing after it counts as absent.
    auto countAfter = [&](std::size_t at) -> long long {
        const std::string_view rest = std::string_view(text).substr(at + 5);
        return rest.empty() ? -1 : CountValue(rest);
    };
    if (asc != std::string::npos) parts.AscCount = countAfter(asc);
    if (arr != std::string::npos) parts.ArrCount = countAfter(arr);
    text.erase(std::min(asc, arr) == std::string::npos ? text.size() : std::min(asc, arr));

    const std::size_t first = text.find('.');
    const std::size_t last = text.rfind('.');
    parts.PLCName = first == std::string::npos ? text : text.substr(0, first);
    parts.Address = last == std::string::npos ? std::string() : text.substr(last + 1);

    long long count = parts.ArrCount;
    if (parts.AscCount != -1) count = Halve(parts.AscCount);
    parts.Count = count < 1 ? 1 : count;

    parts.RawAddress = parts.Address;
    if (parts.Address.size() > 3 && parts.Address.back() == 's') {
        parts.Address.pop_back();
        parts.Signed = true;
    }
    return parts;
}

std::string WithoutEmptySuffix(std::string_view itemId) {
    const std::string lower = LowerAscii(itemId);
    if (lower.ends_with(".arr.") || lower.ends_with(".asc.")) itemId.remove_suffix(5);
    return std::string(itemId);
}

long long ElementCountFor(const TItemIdParts& parts, bool isDoubleWordRow) {
    long long count = parts.Count;
    if (parts.AscCount != -1 && isDoubleWordRow) count = Halve(count);
    return count < 1 ? 1 : count;
}

} // namespace dravon
