// Item IDs come straight from OPC clients: any text resolves or fails without crashing,
// and one request never creates more locations than the element bound allows.
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    THitachiPLC& plc1 = plcs.AddPLC();
    THitachiPLC& plc2 = plcs.AddPLC();
    const std::string_view itemId(reinterpret_cast<const char*>(data), size);

    TResolveResult first = plcs.ResolveItemId(itemId);
    const int created = plc1.Monitored.Count();
    // Each element may bring a double word and its two halves.
    if (created > 3 * MaxElementCount + 3) std::abort();
    if (first.Location) {
        if (first.Count < 1 || first.Count > MaxElementCount) std::abort();
        // Server variables belong to no PLC; everything else to one of ours.
        const THitachiPLC* owner = first.Location->PLC;
        if (owner && owner != &plc1 && owner != &plc2) std::abort();
        // The same text again finds what the first call made: nothing new is created.
        TResolveResult second = plcs.ResolveItemId(itemId);
        if (second.Location != first.Location || second.Count != first.Count) std::abort();
        if (plc1.Monitored.Count() != created) std::abort();
    } else if (first.Count != 0) {
        std::abort();
    }
    // Nothing holds the locations: one purge pass from the last, then a second for halves.
    plc1.Monitored.PurgeUnused();
    plc1.Monitored.PurgeUnused();
    return 0;
}
