// Address texts typed by clients: any bytes either fail or give a row, code and packed
// address inside the row's limits, and the canonical text of that address parses back to it.
#include "plc/MemoryTypes.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = ParseAddress(text);
    if (!parsed) return 0;
    if (parsed->Row < 0 || parsed->Row >= MemoryTypeCount) std::abort();
    const MemoryTypeInfo& row = MemoryTypes[static_cast<std::size_t>(parsed->Row)];
    if (parsed->Code != row.Code) std::abort();
    if (parsed->Address < row.MinAddress || parsed->Address > row.MaxAddress) std::abort();
    const std::string canonical = FormatAddress(parsed->Row, parsed->Address);
    auto again = ParseAddress(canonical);
    if (!again || again->Row != parsed->Row || again->Address != parsed->Address ||
        again->Code != parsed->Code)
        std::abort();
    if (FormatAddress(again->Row, again->Address) != canonical) std::abort();
    return 0;
}
