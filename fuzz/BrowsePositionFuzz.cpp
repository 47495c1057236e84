// Browse moves and listings driven by arbitrary bytes: a client sending any names in any
// order never crashes the server, and every leaf listed inside a memory type is an
// address that parses back to that memory type.
#include "opc/BrowseObject.h"
#include "opc/ComPtr.h"
#include "opc/DA2.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCInterfaces.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "support/FuzzInput.h"
#include "support/TestContext.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    plcs.AddPLC();
    plcs.AddPLC();
    t.Context.PLCs = &plcs;
    TOPCDAConnectionCollection connections(t.Context);
    auto factory = MakeCom<TDA2ClassFactory>(t.Context, connections);
    TComPtr<IUnknown> unknown;
    if (factory->CreateInstance(nullptr, IOPCServer::Iid, unknown) != S_OK) std::abort();
    auto browser = InterfaceOf<IOPCBrowseServerAddressSpace>(unknown);
    auto* server = static_cast<TDA2*>(InterfaceOf<IOPCServer>(unknown).Get());
    if (!browser || !server) std::abort();

    fuzz::TInput in(data, size);
    auto name = [&] { return in.Text(in.Byte() % 12); };
    for (int steps = 0; !in.Done() && steps < 400; ++steps) {
        const std::uint8_t op = in.Byte();
        switch (op % 8) {
        case 0: browser->ChangeBrowsePosition(OPC_BROWSE_UP, ""); break;
        case 1: browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, name()); break;
        case 2: browser->ChangeBrowsePosition(op >> 3, name()); break;
        case 3:
        case 4: {
            TComPtr<IEnumString> names;
            const std::uint32_t type = op % 8 == 3 ? OPC_BRANCH : (op >> 7 ? OPC_FLAT : OPC_LEAF);
            if (browser->BrowseOPCItemIDs(type, "", VT_EMPTY, 0, names) != S_OK || !names) std::abort();
            std::vector<std::string> out;
            std::uint32_t fetched = 0;
            names->Next(1000, out, &fetched);
            if (fetched != out.size()) std::abort();
            if (type == OPC_LEAF && server->Browse().Kind() == TBrowseObject::bkMemoryType)
                for (const auto& leaf : out)
                    if (!ParseAddress(leaf)) std::abort();
            break;
        }
        case 5: {
            std::string id;
            if (browser->GetItemID(name(), id) != S_OK) std::abort();
            break;
        }
        case 6: t.Context.Settings.AllowBrowsing = !t.Context.Settings.AllowBrowsing; break;
        case 7:
            if (op >> 7)
                connections.IntensiveBrowsingDetected = true;
            else if (plcs.Count() > 0)
                plcs.DeletePLC(plcs.Count() - 1);
            break;
        }
    }
    return 0;
}
