// Address texts typed by clients: any bytes either fail or give a row, code and packed
// address inside the row's limits, and the canonical text of that address parses back to it.
#include "support/FuzzInput.h"

#include "plc/MemoryTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    using fuzz::Check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = ParseAddress(text);
    if (!parsed) return 0;
    Check(parsed->Row >= 0 && parsed->Row < MemoryTypeCount);
    const MemoryTypeInfo& row = MemoryTypes[static_cast<std::size_t>(parsed->Row)];
    Check(parsed->Code == row.Code && parsed->Address >= row.MinAddress && parsed->Address <= row.MaxAddress);
    const std::string canonical = FormatAddress(parsed->Row, parsed->Address);
    auto again = ParseAddress(canonical);
    Check(again && again->Row == parsed->Row && again->Address == parsed->Address &&
          again->Code == parsed->Code && FormatAddress(again->Row, again->Address) == canonical);
    return 0;
}
