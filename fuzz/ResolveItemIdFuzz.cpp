// Item IDs come straight from OPC clients: any text resolves or fails without crashing,
// and one request never creates more locations than the element bound allows.
#include "support/FuzzInput.h"
#include "support/TestContext.h"

#include "plc/ItemId.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    using fuzz::Check;
    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    THitachiPLC& plc1 = plcs.AddPLC();
    THitachiPLC& plc2 = plcs.AddPLC();
    const std::string_view itemId(reinterpret_cast<const char*>(data), size);

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
    return 0;
}
