// UA service requests decoded and served by the real backend: an endpoint over the OPC DA
// object model with one PLC whose TCP link is a fake socket (no network). The harness opens
// the channel and an activated session itself (the session token is random), then plays
// the input as operations:
//   0 request: service byte (index into Services), length (2 bytes LE), the request's own
//     fields after the request header
//   1 time passes: byte * 20 ms (the driver cycle, group updates, device-read bounds)
//   2 the PLC's link receives: length byte, bytes
#include "support/FakeHostResolver.h"
#include "support/FakeTransports.h"
#include "support/FuzzInput.h"
#include "support/TestContext.h"
#include "unit/ua/UaTestClient.h"

#include "comm/CommManager.h"
#include "comm/TransportDriverFactory.h"
#include "opc/DA2.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "ua/UaDaBackend.h"
#include "ua/UaServer.h"

#include <cstdint>
#include <string>

using namespace dravon;

namespace {

constexpr std::uint32_t Services[] = {
    UaId::ReadRequest,
    UaId::WriteRequest,
    UaId::BrowseRequest,
    UaId::BrowseNextRequest,
    UaId::TranslateBrowsePathsToNodeIdsRequest,
    UaId::RegisterNodesRequest,
    UaId::CreateSubscriptionRequest,
    UaId::ModifySubscriptionRequest,
    UaId::SetPublishingModeRequest,
    UaId::PublishRequest,
    UaId::RepublishRequest,
    UaId::TransferSubscriptionsRequest,
    UaId::DeleteSubscriptionsRequest,
    UaId::CreateMonitoredItemsRequest,
    UaId::ModifyMonitoredItemsRequest,
    UaId::SetMonitoringModeRequest,
    UaId::SetTriggeringRequest,
    UaId::DeleteMonitoredItemsRequest,
    UaId::CloseSessionRequest,
};
// Time the whole input may let pass: enough for a device read's bound.
constexpr std::uint32_t MaxTimeMs = 12000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::TTestContext t;
    test::TFakeHostResolver resolver;
    test::TFakeTransportFactory transports;
    t.Context.Resolver = &resolver;
    t.Context.Transports = &transports;
    TPLCCollection plcs{t.Context};
    t.Context.PLCs = &plcs;
    TTransportDriverFactory drivers;
    TCommManager manager(t.Context, &plcs, &drivers);
    THitachiPLC& plc = plcs.AddPLC();
    plc.SetHost("127.0.0.1"); // never the default host
    plcs.SetDriverPool(&manager);
    TOPCDAConnectionCollection connections{t.Context};
    connections.Start();
    {
        TComPtr<TDA2ClassFactory> factory = MakeCom<TDA2ClassFactory>(t.Context, connections);
        TUaDaBackend backend(t.Context, *factory);
        TUaServer server(t.Context, backend, TUaConfig{});
        test::TRawUaClient client([&](std::unique_ptr<IUaSocket> s) { server.Accept(std::move(s)); });
        if (client.Open()) {
            client.CreateSession();
            t.Platform.RunPosted();
            client.Responses();
            client.Activate(client.LastCreatedToken);
            t.Platform.RunPosted();
            client.Frames();
        }
        fuzz::TInput in(data, size);
        std::uint32_t spent = 0;
        for (int steps = 0; !in.Done() && steps < 64 && !client.Closed(); ++steps) {
            switch (in.Byte() % 3) {
            case 0: {
                const std::uint32_t service = Services[in.Byte() % std::size(Services)];
                std::size_t length = in.Byte();
                length |= static_cast<std::size_t>(in.Byte()) << 8; // low byte first
                const std::string fields = in.Text(length);
                client.Request(service, [&](TUaBinaryWriter& w) { w.Bytes() += fields; });
                t.Platform.RunPosted();
                break;
            }
            case 1: {
                const std::uint32_t ms = std::min<std::uint32_t>(in.Byte() * 20u, MaxTimeMs - spent);
                spent += ms;
                t.Platform.Advance(ms);
                break;
            }
            default: {
                const test::TBytes bytes = in.Bytes(in.Byte());
                if (test::TRecordingClientSocket* socket = transports.LiveSocket()) {
                    if (!socket->Active()) socket->Connect();
                    socket->Receive(bytes);
                }
                t.Platform.RunPosted();
                break;
            }
            }
            client.Frames();
        }
    }
    connections.Stop();
    plcs.SetDriverPool(nullptr);
    return 0;
}
