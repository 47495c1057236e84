// A scripted opc.tcp client over an in-memory socket: builds Hello, OpenSecureChannel and
// service request frames byte by byte, and splits what the server wrote back into frames.
#pragma once

#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaMessages.h"
#include "ua/UaNodeIds.h"
#include "ua/UaSocket.h"
#include "ua/UaStatusCodes.h"

#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>

namespace dravon::test {

// What a socket saw, kept beyond the socket's life (a refused one is freed at once).
struct TSocketRecord {
    std::string Written;
    bool Closed = false;
    bool Destroyed = false;
};

class TFakeUaSocket : public IUaSocket {
public:
    explicit TFakeUaSocket(std::string peer = "127.0.0.1",
                           std::shared_ptr<TSocketRecord> record = std::make_shared<TSocketRecord>())
        : Peer(std::move(peer)), Record(std::move(record)) {}
    ~TFakeUaSocket() override { Record->Destroyed = true; }
    std::string Written;
    bool Closed = false;
    std::size_t Pending = 0;
    std::string Peer;
    std::shared_ptr<TSocketRecord> Record;
    void Write(std::string_view bytes) override {
        if (Closed) return;
        Written.append(bytes);
        Record->Written.append(bytes);
    }
    std::size_t PendingBytes() const override { return Pending; }
    void Close() override { Closed = Record->Closed = true; }
    std::string PeerAddress() const override { return Peer; }
};

struct TFrame {
    std::string Type; // "ACKF", "ERRF", "OPNF", "MSGF", "MSGC"
    std::string Body; // after the 8-byte header
    bool operator==(const TFrame&) const = default;
};

// Writes each value as a UInt32.
inline void UInt32s(TUaBinaryWriter& w, std::initializer_list<std::uint32_t> values) {
    for (std::uint32_t v : values) w.UInt32(v);
}

inline void UInt32Array(TUaBinaryWriter& w, const std::vector<std::uint32_t>& values) {
    w.Array(values, [&](std::uint32_t v) { w.UInt32(v); });
}

// A frame of the given type: its size, then what `fill` writes.
template <typename F> std::string Frame(const char* type, F fill) {
    TUaBinaryWriter w;
    w.Bytes() = type;
    w.UInt32(0);
    fill(w);
    w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
    return w.Take();
}

inline std::string HelloFrame(std::uint32_t receive = 65536, std::uint32_t send = 65536,
                              std::uint32_t maxMessage = 0, std::uint32_t maxChunks = 0,
                              const std::string& url = "opc.tcp://127.0.0.1:4840") {
    return Frame("HELF", [&](TUaBinaryWriter& w) {
        UInt32s(w, {0, receive, send, maxMessage, maxChunks});
        w.String(url);
    });
}

// Sequence header and OpenSecureChannelRequest; a null client nonce without `nonce`.
inline void WriteOpenRequest(TUaBinaryWriter& w, std::uint32_t sequence, std::uint32_t requestId,
                             std::uint32_t requestType, std::uint32_t mode, const std::string* nonce,
                             std::uint32_t lifetimeMs) {
    UInt32s(w, {sequence, requestId});
    w.NodeId(TUaNodeId::Num(UaId::OpenSecureChannelRequest));
    WriteRequestHeader(w, {});
    UInt32s(w, {0, requestType, mode});
    nonce ? w.ByteString(*nonce) : w.Int32(-1);
    w.UInt32(lifetimeMs);
}

inline std::string OpenFrame(std::uint32_t channelId, std::uint32_t sequence, std::uint32_t requestId,
                             std::uint32_t requestType = 0, std::uint32_t mode = 1,
                             const std::string& policy = "http://opcfoundation.org/UA/SecurityPolicy#None",
                             std::uint32_t lifetimeMs = 600000) {
    return Frame("OPNF", [&](TUaBinaryWriter& w) {
        w.UInt32(channelId);
        w.String(policy);
        w.Int32(-1);
        w.Int32(-1);
        WriteOpenRequest(w, sequence, requestId, requestType, mode, nullptr, lifetimeMs);
    });
}

inline std::string MessageFrame(const char* type, std::uint32_t channelId, std::uint32_t tokenId,
                                std::uint32_t sequence, std::uint32_t requestId, const std::string& body) {
    return Frame(type, [&](TUaBinaryWriter& w) {
        UInt32s(w, {channelId, tokenId, sequence, requestId});
        w.Bytes() += body;
    });
}

// Splits the bytes written so far into frames and clears them.
inline std::vector<TFrame> TakeFrames(std::string& data) {
    std::vector<TFrame> frames;
    while (data.size() >= 8) {
        TUaBinaryReader r(std::string_view(data).substr(4, 4));
        std::uint32_t size = r.UInt32();
        if (size < 8 || data.size() < size) break;
        frames.push_back({data.substr(0, 4), data.substr(8, size - 8)});
        data.erase(0, size);
    }
    return frames;
}
inline std::vector<TFrame> TakeFrames(TFakeUaSocket& socket) { return TakeFrames(socket.Written); }

// The body of an ERR frame: the status code.
inline TUaStatusCode ErrorCode(const TFrame& frame) {
    TUaBinaryReader r(frame.Body);
    return r.UInt32();
}

// The reason an ERR frame gives after its code.
inline std::string ErrorReason(const TFrame& frame) {
    TUaBinaryReader r(std::string_view(frame.Body).substr(4));
    return r.String();
}

// Service body of a MSG frame, past channel id, token id, sequence number and request id.
inline std::string MessagePayload(const TFrame& frame) { return frame.Body.substr(16); }

// Reads the response type id and header; leaves the reader at the response's own fields.
struct TResponseStart {
    std::uint32_t TypeId = 0;
    std::uint32_t RequestHandle = 0;
    TUaStatusCode ServiceResult = 0;
    bool operator==(const TResponseStart&) const = default;
};
inline TResponseStart ReadResponseStart(TUaBinaryReader& r) {
    TResponseStart s;
    s.TypeId = r.NodeId().Numeric;
    r.DateTime();
    s.RequestHandle = r.UInt32();
    s.ServiceResult = r.StatusCode();
    r.DiagnosticInfo();
    r.Array([&] { return r.String(); }, 4);
    r.ExtensionObject();
    return s;
}

// A request body: type id, request header with the session token, then fields by `fill`.
template <typename F>
std::string RequestBody(std::uint32_t typeId, const TUaNodeId& token, std::uint32_t handle, F fill) {
    TUaBinaryWriter w;
    w.NodeId(TUaNodeId::Num(typeId));
    TUaRequestHeader h;
    h.AuthenticationToken = token;
    h.RequestHandle = handle;
    WriteRequestHeader(w, h);
    fill(w);
    return w.Take();
}

// One client connection to a server over an in-memory socket, as every server-side test
// drives it: `accept` is the server's Accept, `spin` runs the loop after each request.
// Requests go out as single MSGF chunks with request handle = request id.
struct TRawUaClient {
    template <typename Accept>
    TRawUaClient(Accept&& accept, std::string peer = "127.0.0.1", std::function<void()> spin = {})
        : Peer(peer), SessionName("Raw " + peer), Spin(std::move(spin)) {
        auto socket = std::make_unique<TFakeUaSocket>(std::move(peer), Record);
        Socket = socket.get();
        accept(std::move(socket));
    }
    void Send(const std::string& bytes) {
        if (!Record->Destroyed && Socket->OnReceived) Socket->OnReceived(bytes);
    }
    bool Closed() const { return Record->Closed; }
    // Frames written since the last call.
    std::vector<TFrame> Frames() { return TakeFrames(Record->Written); }
    // Hello and OpenSecureChannel; false when either was refused.
    bool Open(std::uint32_t maxMessage = 0) {
        Send(HelloFrame(65536, 65536, maxMessage));
        Send(OpenFrame(0, 1, 1));
        auto frames = Frames();
        if (frames.size() != 2 || frames[1].Type != "OPNF") return false;
        TUaBinaryReader r(frames[1].Body);
        ChannelId = r.UInt32();
        return true;
    }
    // Sends a request; the caller spins the loop and collects with Responses().
    template <typename F> std::uint32_t Request(std::uint32_t typeId, F fill) {
        ++Sequence;
        ++RequestId;
        Send(MessageFrame("MSGF", ChannelId, 1, Sequence, RequestId,
                          RequestBody(typeId, Token, RequestId, fill)));
        return RequestId;
    }
    // Sends a request, spins the loop and returns the payloads of the MSG frames written.
    template <typename F> std::vector<std::string> Call(std::uint32_t typeId, F fill) {
        Request(typeId, fill);
        if (Spin) Spin();
        std::vector<std::string> out;
        for (auto& f : Frames())
            if (f.Type != "ERRF") out.push_back(MessagePayload(f));
        return out;
    }
    // Response starts of the frames written since the last call (ERR frames: their code).
    std::vector<TResponseStart> Responses() {
        std::vector<TResponseStart> out;
        for (auto& f : Frames()) {
            if (f.Type == "ERRF") {
                out.push_back({0, 0, ErrorCode(f)});
                continue;
            }
            std::string payload = MessagePayload(f);
            TUaBinaryReader r(payload);
            out.push_back(ReadResponseStart(r));
            if (out.back().TypeId == UaId::CreateSessionResponse) {
                r.NodeId();
                LastCreatedToken = r.NodeId();
                RevisedTimeout = r.Double();
            }
        }
        return out;
    }
    void CreateSession(double timeoutMs = 60000) {
        Request(UaId::CreateSessionRequest, [&](TUaBinaryWriter& w) {
            WriteApplicationDescription(w, {});
            w.Int32(-1);
            w.String("opc.tcp://127.0.0.1:4840");
            w.String(SessionName);
            w.ByteString(std::string(32, 'n'));
            w.Int32(-1);
            w.Double(timeoutMs);
            w.UInt32(0);
        });
    }
    void Activate(const TUaNodeId& token) {
        Token = token;
        Request(UaId::ActivateSessionRequest, [&](TUaBinaryWriter& w) {
            w.Int32(-1);
            w.Int32(-1);
            w.EmptyArray();
            w.EmptyArray();
            w.ExtensionObject({});
            w.Int32(-1);
            w.Int32(-1);
        });
    }
    // A request's single service result (Bad when nothing or more came back).
    TUaStatusCode Result() {
        if (Spin) Spin();
        auto responses = Responses();
        return responses.size() == 1 ? responses[0].ServiceResult : UaStatus::Bad;
    }
    // Opens the channel when needed, creates a session and activates it (anonymous);
    // the results of both.
    std::pair<TUaStatusCode, TUaStatusCode> OpenSession(double timeoutMs = 60000, bool activate = true) {
        if (!ChannelId && !Open()) return {UaStatus::Bad, UaStatus::Bad};
        CreateSession(timeoutMs);
        const TUaStatusCode created = Result();
        if (!activate) return {created, UaStatus::Good};
        Activate(LastCreatedToken);
        return {created, Result()};
    }
    static auto ReadOf(std::vector<std::pair<TUaNodeId, std::uint32_t>> nodes, double maxAge) {
        return [nodes, maxAge](TUaBinaryWriter& w) {
            w.Double(maxAge);
            w.UInt32(2);
            w.Array(nodes, [&](const auto& node) {
                w.NodeId(node.first);
                w.UInt32(node.second);
                w.Int32(-1);
                w.QualifiedName({});
            });
        };
    }
    std::vector<TUaDataValue> Read(const std::vector<std::pair<TUaNodeId, std::uint32_t>>& nodes,
                                   double maxAge = 500) {
        auto responses = Call(UaId::ReadRequest, ReadOf(nodes, maxAge));
        if (responses.size() != 1) return {};
        TUaBinaryReader r(responses[0]);
        ReadResponseStart(r);
        return r.Array([&] { return r.DataValue(); });
    }
    TUaStatusCode Write(const std::string& id, const TUaVariant& value) {
        auto responses = Call(UaId::WriteRequest, [&](TUaBinaryWriter& w) {
            w.ArrayLength(1);
            w.NodeId(TUaNodeId::Str(id));
            w.UInt32(13);
            w.Int32(-1);
            TUaDataValue dv;
            dv.Value = value;
            w.DataValue(dv);
        });
        if (responses.size() != 1) return UaStatus::Bad;
        TUaBinaryReader r(responses[0]);
        const TUaStatusCode result = ReadResponseStart(r).ServiceResult;
        auto results = r.Array([&] { return r.StatusCode(); });
        return result ? result : results.empty() ? UaStatus::Bad : results[0];
    }
    using TRevised = std::tuple<double, std::uint32_t, std::uint32_t>; // interval, lifetime, keep-alive
    // Subscription id (0 when refused); `revised` what the server made of the request.
    std::uint32_t CreateSubscription(double interval = 100, std::uint32_t lifetime = 100,
                                     std::uint32_t keepAlive = 10, TRevised* revised = nullptr,
                                     std::uint32_t maxNotifications = 0) {
        auto responses = Call(UaId::CreateSubscriptionRequest, [&](TUaBinaryWriter& w) {
            w.Double(interval);
            UInt32s(w, {lifetime, keepAlive, maxNotifications});
            w.Boolean(true);
            w.Byte(0);
        });
        if (responses.size() != 1) return 0;
        TUaBinaryReader r(responses[0]);
        if (ReadResponseStart(r).ServiceResult) return 0;
        const std::uint32_t id = r.UInt32();
        const double rev = r.Double();
        const std::uint32_t lifetimeCount = r.UInt32();
        if (revised) *revised = {rev, lifetimeCount, r.UInt32()};
        return id;
    }
    TUaStatusCode Monitor(std::uint32_t subscription, const std::string& itemId, std::uint32_t handle,
                          const TUaExtensionObject& filter = {}, std::uint32_t queueSize = 1,
                          bool discardOldest = true) {
        return Monitor(subscription, TUaNodeId::Str(itemId), handle, filter, queueSize, discardOldest);
    }
    TUaStatusCode Monitor(std::uint32_t subscription, const TUaNodeId& node, std::uint32_t handle,
                          const TUaExtensionObject& filter = {}, std::uint32_t queueSize = 1,
                          bool discardOldest = true) {
        auto responses = Call(UaId::CreateMonitoredItemsRequest, [&](TUaBinaryWriter& w) {
            UInt32s(w, {subscription, 2});
            w.ArrayLength(1);
            w.NodeId(node);
            w.UInt32(13);
            w.Int32(-1);
            w.QualifiedName({});
            UInt32s(w, {2, handle});
            w.Double(100);
            w.ExtensionObject(filter);
            w.UInt32(queueSize);
            w.Boolean(discardOldest);
        });
        if (responses.size() != 1) return UaStatus::Bad;
        TUaBinaryReader r(responses[0]);
        ReadResponseStart(r);
        auto results = r.Array([&] {
            TUaStatusCode s = r.StatusCode();
            r.UInt32();
            r.Double();
            r.UInt32();
            r.ExtensionObject();
            return s;
        });
        return results.size() == 1 ? results[0] : UaStatus::Bad;
    }

    std::string Peer;
    std::string SessionName;
    std::function<void()> Spin;
    std::shared_ptr<TSocketRecord> Record = std::make_shared<TSocketRecord>();
    TFakeUaSocket* Socket = nullptr; // owned by the server; check Record->Destroyed
    std::uint32_t ChannelId = 0;
    std::uint32_t Sequence = 1;
    std::uint32_t RequestId = 1;
    TUaNodeId Token;
    TUaNodeId LastCreatedToken;
    double RevisedTimeout = 0;
};

} // namespace dravon::test
