// Item IDs and address texts come straight from OPC clients: any text resolves or fails
// without crashing, and one request never creates more locations than the element bound
// allows. As an address, any text fails or gives a row, code and packed address inside the
// row's limits, and the canonical text of that address parses back to it. As the add
// dialog's address and count fields (the text up to the first byte 0x0A is the address
// field, the rest the count field), the run stays within its limit, and every item ID it
// numbers through resolves to an address of the first location's PLC and memory type, in
// rising order.
#include "support/FuzzInput.h"
#include "support/TestContext.h"

#include "plc/ItemId.h"
#include "plc/MemoryTypes.h"
#include "ui/AddressRun.h"

namespace {

using namespace dravon;
using fuzz::Check;

void AddressRun(TPLCCollection& plcs, std::string_view text) {
    constexpr long long Limit = 1024;
    const std::size_t split = text.find('\n');
    const std::string_view countField =
        split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
    const TAddressRun run = ParseAddressRun(text.substr(0, split), countField, Limit);
    Check(run.Count >= 1 && run.Count <= Limit && (run.Counted || run.Count == 1));
    Check(run.ItemId.find('/') == std::string::npos);
    THitachiLocation* first = plcs.ResolveItemId(run.ItemId).Location;
    const std::optional<TRunNumbering> numbering = first ? RunNumbering(*first) : std::nullopt;
    if (!numbering) return;
    Check(numbering->First <= numbering->Last);
    // The run's own first item ID names the first location again.
    Check(plcs.ResolveItemId(RunItemId(*numbering, numbering->First)).Location == first);
    std::uint32_t previous = first->Address;
    long long steps = 0;
    for (std::uint32_t number = numbering->First + 1; number <= numbering->Last && steps < run.Count - 1;
         ++number) {
        THitachiLocation* next = plcs.ResolveItemId(RunItemId(*numbering, number)).Location;
        if (!next) continue; // a number that is no valid address is passed over
        Check(next->PLC == first->PLC && next->TypeRow == first->TypeRow && next->Address > previous);
        previous = next->Address;
        ++steps;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view itemId(reinterpret_cast<const char*>(data), size);
    if (auto parsed = ParseAddress(itemId)) {
        Check(parsed->Row >= 0 && parsed->Row < MemoryTypeCount);
        const MemoryTypeInfo& row = MemoryTypes[static_cast<std::size_t>(parsed->Row)];
        Check(parsed->Code == row.Code && parsed->Address >= row.MinAddress &&
              parsed->Address <= row.MaxAddress);
        const std::string canonical = FormatAddress(parsed->Row, parsed->Address);
        auto again = ParseAddress(canonical);
        Check(again && again->Row == parsed->Row && again->Address == parsed->Address &&
              again->Code == parsed->Code && FormatAddress(again->Row, again->Address) == canonical);
    }

    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    THitachiPLC& plc1 = plcs.AddPLC();
    THitachiPLC& plc2 = plcs.AddPLC();
    TResolveResult first = plcs.ResolveItemId(itemId);
    const int created = plc1.Monitored.Count();
    // Each element may bring a double word and its two halves.
    Check(created <= 3 * MaxElementCount + 3 && (first.Location || first.Count == 0));
    if (first.Location) {
        Check(first.Count >= 1 && first.Count <= MaxElementCount);
        // Server variables belong to no PLC; everything else to one of ours.
        const THitachiPLC* owner = first.Location->PLC;
        Check(!owner || owner == &plc1 || owner == &plc2);
        // The same text again finds what the first call made: nothing new is created.
        TResolveResult second = plcs.ResolveItemId(itemId);
        Check(second.Location == first.Location && second.Count == first.Count &&
              plc1.Monitored.Count() == created);
    }
    // Nothing holds the locations: one purge pass from the last, then a second for halves.
    plc1.Monitored.PurgeUnused();
    plc1.Monitored.PurgeUnused();
    AddressRun(plcs, itemId);
    return 0;
}
