// The add dialog's address and count fields as the operator types them: the text up to the
// first byte 0x0A is the address field, the rest the count field. Whatever is typed, the run
// stays within its limit, and every item ID a run numbers through resolves to an address of
// the first location's PLC and memory type, in rising order.
#include "plc/HitachiLocation.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"
#include "ui/AddressRun.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    constexpr long long Limit = 1024;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t split = text.find('\n');
    const std::string_view address = text.substr(0, split);
    const std::string_view countField =
        split == std::string_view::npos ? std::string_view() : text.substr(split + 1);

    const TAddressRun run = ParseAddressRun(address, countField, Limit);
    if (run.Count < 1 || run.Count > Limit || (!run.Counted && run.Count != 1)) std::abort();
    if (run.ItemId.find('/') != std::string::npos) std::abort();

    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    plcs.AddPLC();
    THitachiLocation* first = plcs.ResolveItemId(run.ItemId).Location;
    if (!first) return 0;
    const std::optional<TRunNumbering> numbering = RunNumbering(*first);
    if (!numbering) return 0;
    if (numbering->First > numbering->Last) std::abort();
    // The run's own first item ID names the first location again.
    if (plcs.ResolveItemId(RunItemId(*numbering, numbering->First)).Location != first) std::abort();
    std::uint32_t previous = first->Address;
    long long steps = 0;
    for (std::uint32_t number = numbering->First + 1; number <= numbering->Last && steps < run.Count - 1;
         ++number) {
        THitachiLocation* next = plcs.ResolveItemId(RunItemId(*numbering, number)).Location;
        if (!next) continue; // a number that is no valid address is passed over
        if (next->PLC != first->PLC || next->TypeRow != first->TypeRow || next->Address <= previous)
            std::abort();
        previous = next->Address;
        ++steps;
    }
    return 0;
}
