// The endpoint's decoders on arbitrary bytes: the byte stream of one connection through
// the transport, secure channel and service dispatch of a server, and every service
// request decoder and built-in type reader on the same bytes.
#include "support/TestContext.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaMessages.h"
#include "ua/UaServer.h"
#include "unit/ua/UaTestClient.h"

using namespace dravon;

namespace {

// Every request type's decoder on the same bytes.
template <typename... T> void DecodeAs(std::string_view bytes) {
    auto one = [&](auto message) {
        TUaBinaryReader r(bytes);
        Decode(r, message);
    };
    (one(T{}), ...);
}

void DecodeAll(std::string_view bytes) {
    DecodeAs<TUaGetEndpointsRequest, TUaFindServersRequest, TUaCreateSessionRequest,
             TUaActivateSessionRequest, TUaCloseSessionRequest, TUaBrowseRequest, TUaBrowseNextRequest,
             TUaTranslateRequest, TUaNodeListRequest, TUaReadRequest, TUaWriteRequest,
             TUaSetPublishingModeRequest, TUaIdListRequest, TUaPublishRequest, TUaRepublishRequest,
             TUaCreateMonitoredItemsRequest, TUaModifyMonitoredItemsRequest, TUaSetMonitoringModeRequest,
             TUaDeleteMonitoredItemsRequest, TUaOpenSecureChannelRequest>(bytes);
    {
        TUaBinaryReader r(bytes);
        TUaCreateSubscriptionRequest m;
        Decode(r, m, false);
    }
    TUaBinaryReader r(bytes);
    while (r.Ok() && !r.AtEnd()) {
        r.Variant();
        r.DataValue();
        r.DiagnosticInfo();
        r.ExpandedNodeId();
        r.LocalizedText();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    test::TTestContext t;
    TServerContext& context = t.Context;
    {
        TUaMemoryBackend backend(context);
        std::string folder = backend.AddFolder("/", "PLC1");
        backend.AddVariable(folder, "PLC1.WR0010", "WR0010",
                            TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{1}), true);
        TUaServer server(context, backend, TUaConfig{});
        auto socket = std::make_unique<test::TFakeUaSocket>();
        test::TFakeUaSocket* raw = socket.get();
        server.Accept(std::move(socket));
        // Deliver in two pieces, as TCP may.
        raw->OnReceived(bytes.substr(0, size / 2));
        if (raw->OnReceived) raw->OnReceived(bytes.substr(size / 2));
        // One round: work that posts more work cannot loop for ever.
        t.Platform.RunPosted();
    }
    DecodeAll(bytes);
    return 0;
}
