// NodeId texts a UA client sends, on the backend over the OPC DA model: every line of the
// input is described, listed as a folder, given a parent, read from the cache and written,
// in one session whose browser keeps its position between lines. Nothing may crash, and
// no line may leave a location behind that nobody references.
#include "opc/ComObject.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"
#include "ua/UaDaBackend.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace dravon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    test::TTestContext t;
    TPLCCollection plcs(t.Context);
    t.Context.PLCs = &plcs;
    plcs.AddPLC().SetHost("127.0.0.1"); // no driver pool: nothing leaves the process
    TOPCDAConnectionCollection connections(t.Context);
    {
        TComPtr<TDA2ClassFactory> factory = MakeCom<TDA2ClassFactory>(t.Context, connections);
        TUaDaBackend backend(t.Context, *factory);
        auto session = backend.CreateSession("fuzz");
        if (!session) std::abort();
        const std::string text(reinterpret_cast<const char*>(data), size);
        std::size_t at = 0;
        while (at <= text.size()) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            const std::string id = text.substr(at, end - at);
            at = end + 1;
            TUaBackendNode node;
            backend.Describe(id, node, session.get());
            std::vector<TUaBackendNode> children;
            backend.Children(id, children, session.get());
            if (children.size() > 100000) std::abort();
            const std::string parent = backend.ParentOf(id);
            if (parent.empty() || parent[0] != '/') std::abort();
            session->Read(id, UaCacheAge, [](const TUaBackendValue&) {});
            session->Write(id, TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{1}), [](TUaStatusCode) {});
        }
        session.reset();
    }
    if (connections.Count() != 0) std::abort();
    // With the session gone every reference it took is given back: after the purge (a
    // double word holds its halves until it is purged itself) only locations with a write
    // still on its way remain.
    TAddressCollection& monitored = plcs.PLCByIndex(0).Monitored;
    monitored.PurgeUnused();
    monitored.PurgeUnused();
    for (int i = 0; i < monitored.Count(); ++i) {
        const THitachiLocation& l = monitored.Item(i);
        const bool halfOfPendingWrite =
            (l.HighLink && l.HighLink->WritePending) || (l.LowLink && l.LowLink->WritePending);
        if (!l.WritePending && !halfOfPendingWrite) std::abort();
    }
    return 0;
}
