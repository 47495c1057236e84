// The endpoint's decoders on arbitrary bytes: the byte stream of one connection through
// the transport, secure channel and service dispatch of a server, and every service
// request decoder and built-in type reader on the same bytes.
#include "support/TestContext.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaMessages.h"
#include "ua/UaServer.h"

using namespace dravon;

namespace {

class TSocket : public IUaSocket {
public:
    void Write(std::string_view bytes) override { Written += bytes.size(); }
    std::size_t PendingBytes() const override { return 0; }
    void Close() override {}
    std::string PeerAddress() const override { return "127.0.0.1"; }
    std::size_t Written = 0;
};

template <typename T> void DecodeAs(std::string_view bytes) {
    TUaBinaryReader r(bytes);
    T message;
    Decode(r, message);
}

void DecodeAll(std::string_view bytes) {
    DecodeAs<TUaGetEndpointsRequest>(bytes);
    DecodeAs<TUaFindServersRequest>(bytes);
    DecodeAs<TUaCreateSessionRequest>(bytes);
    DecodeAs<TUaActivateSessionRequest>(bytes);
    DecodeAs<TUaCloseSessionRequest>(bytes);
    DecodeAs<TUaBrowseRequest>(bytes);
    DecodeAs<TUaBrowseNextRequest>(bytes);
    DecodeAs<TUaTranslateRequest>(bytes);
    DecodeAs<TUaNodeListRequest>(bytes);
    DecodeAs<TUaReadRequest>(bytes);
    DecodeAs<TUaWriteRequest>(bytes);
    DecodeAs<TUaSetPublishingModeRequest>(bytes);
    DecodeAs<TUaIdListRequest>(bytes);
    DecodeAs<TUaPublishRequest>(bytes);
    DecodeAs<TUaRepublishRequest>(bytes);
    DecodeAs<TUaCreateMonitoredItemsRequest>(bytes);
    DecodeAs<TUaModifyMonitoredItemsRequest>(bytes);
    DecodeAs<TUaSetMonitoringModeRequest>(bytes);
    DecodeAs<TUaDeleteMonitoredItemsRequest>(bytes);
    DecodeAs<TUaOpenSecureChannelRequest>(bytes);
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
        auto socket = std::make_unique<TSocket>();
        TSocket* raw = socket.get();
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
