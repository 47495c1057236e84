// The text of the add dialog's address and count fields: an item ID, optionally a counted
// run ("plc1.wr0/20": twenty words from WR0000), and the numbering a run follows through a
// memory type's digits. Plain C++ on the PLC model, so every typed text can also be fed to a
// fuzz target.
#pragma once

#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/ItemId.h"
#include "plc/MemoryTypes.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravon {

struct TAddressRun {
    std::string ItemId;   // the text before the first "/", trimmed
    bool Counted = false; // a count was given (in the address or the count field)
    long long Count = 1;  // 1 .. the limit
};

// A whole number as an operator types it: blanks around it, an optional sign, decimal digits;
// nothing else, and nothing beyond 64 bits.
inline std::optional<long long> ReadCountText(std::string_view typed) {
    const std::string text = TrimText(typed);
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    unsigned long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || value > (9223372036854775807ULL - static_cast<unsigned>(c - '0')) / 10)
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return negative ? -static_cast<long long>(value) : static_cast<long long>(value);
}

// A count field above 0 is appended to the address as "/count"; the text after the address's
// first "/" is the count then, so an address that carries its own count ("plc1.wr200/20" with
// 1 in the field) reads no number there and stands for itself. A count of 0 or below, or one
// that is no number, means the address itself; a count is at most the limit.
inline TAddressRun ParseAddressRun(std::string_view address, std::string_view countField, long long limit) {
    const std::optional<long long> field = ReadCountText(countField);
    const long long amount = field && *field <= 2147483647 ? *field : 0;
    const std::string request =
        amount > 0 ? std::string(address) + "/" + std::to_string(amount) : std::string(address);
    const std::size_t slash = request.find('/');
    TAddressRun run;
    run.ItemId = TrimText(std::string_view(request).substr(0, slash));
    if (slash == std::string::npos) return run;
    run.Counted = true;
    run.Count = std::clamp<long long>(ReadCountText(std::string_view(request).substr(slash + 1)).value_or(1),
                                      1, std::max<long long>(limit, 1));
    return run;
}

// How a run numbers on from a location: the canonical texts of its memory type are the
// prefix and the number, hexadecimal, or decimal where a type has more than two decimal
// sub-address digits (CL00008, CL00009, CL00010). For X and Y the packed address is not the
// number the text shows (X00195 is packed 0x15F), so the text's digits are read: numbering on
// from the packed value would jump back from X00195 to X00160.
struct TRunNumbering {
    std::string Prefix; // "PLC1.WR"
    int Base = 16;
    std::uint32_t First = 0; // the number of the run's first location
    std::uint32_t Last = 0;  // the number of the memory type's last address
};

inline std::optional<std::uint32_t> ReadRunNumber(std::string_view text, int base) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        if (digit < 0) return std::nullopt;
        value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    }
    return value;
}

// None for a variable (it has no run) or an address whose text gives no number.
inline std::optional<TRunNumbering> RunNumbering(const THitachiLocation& location) {
    if (!location.Name.empty() || location.TypeRow < 0 || location.TypeRow >= MemoryTypeCount)
        return std::nullopt;
    const auto row = static_cast<std::size_t>(location.TypeRow);
    const MemoryTypeInfo& info = location.PLC ? location.PLC->MemoryTypes[row] : MemoryTypes[row];
    TRunNumbering numbering;
    numbering.Base = info.SubDigits > 2 ? 10 : 16;
    numbering.Prefix = (location.PLC ? location.PLC->Name : std::string()) + "." + info.Name;
    const std::size_t prefix = std::string_view(info.Name).size();
    const auto number = [&](std::uint32_t address) -> std::optional<std::uint32_t> {
        const std::string text = FormatAddress(location.TypeRow, address);
        if (text.size() <= prefix) return std::nullopt;
        return ReadRunNumber(std::string_view(text).substr(prefix), numbering.Base);
    };
    const std::optional<std::uint32_t> first = number(location.Address);
    const std::optional<std::uint32_t> last = number(info.MaxAddress);
    if (!first || !last) return std::nullopt;
    numbering.First = *first;
    numbering.Last = *last;
    return numbering;
}

// The item ID of a number of the run: "PLC1.WR" and 1A give "PLC1.WR1A" (resolved as WR001A).
inline std::string RunItemId(const TRunNumbering& numbering, std::uint32_t number) {
    if (numbering.Base == 10) return numbering.Prefix + std::to_string(number);
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), Digits[number % 16]);
        number /= 16;
    } while (number != 0);
    return numbering.Prefix + text;
}

} // namespace dravon
