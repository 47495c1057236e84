// A scripted opc.tcp client over an in-memory socket: builds Hello, OpenSecureChannel and
// service request frames byte by byte, and splits what the server wrote back into frames.
#pragma once

#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaMessages.h"
#include "ua/UaNodeIds.h"
#include "ua/UaSocket.h"

#include <deque>
#include <string>

namespace dravon::test {

class TFakeUaSocket : public IUaSocket {
public:
    std::string Written;
    bool Closed = false;
    std::size_t Pending = 0;
    void Write(std::string_view bytes) override { Written.append(bytes); }
    std::size_t PendingBytes() const override { return Pending; }
    void Close() override { Closed = true; }
    std::string PeerAddress() const override { return "127.0.0.1"; }
};

struct TFrame {
    std::string Type; // "ACKF", "ERRF", "OPNF", "MSGF", "MSGC"
    std::string Body; // after the 8-byte header
};

inline std::string HelloFrame(std::uint32_t receive = 65536, std::uint32_t send = 65536,
                              std::uint32_t maxMessage = 0, std::uint32_t maxChunks = 0) {
    TUaBinaryWriter w;
    w.Bytes() = "HELF";
    w.UInt32(0);
    w.UInt32(0);
    w.UInt32(receive);
    w.UInt32(send);
    w.UInt32(maxMessage);
    w.UInt32(maxChunks);
    w.String("opc.tcp://127.0.0.1:4840");
    w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
    return w.Take();
}

inline std::string OpenFrame(std::uint32_t channelId, std::uint32_t sequence, std::uint32_t requestId,
                             std::uint32_t requestType = 0, std::uint32_t mode = 1,
                             const std::string& policy = "http://opcfoundation.org/UA/SecurityPolicy#None",
                             std::uint32_t lifetimeMs = 600000) {
    TUaBinaryWriter w;
    w.Bytes() = "OPNF";
    w.UInt32(0);
    w.UInt32(channelId);
    w.String(policy);
    w.Int32(-1);
    w.Int32(-1);
    w.UInt32(sequence);
    w.UInt32(requestId);
    w.NodeId(TUaNodeId::Num(UaId::OpenSecureChannelRequest));
    WriteRequestHeader(w, {});
    w.UInt32(0);
    w.UInt32(requestType);
    w.UInt32(mode);
    w.Int32(-1);
    w.UInt32(lifetimeMs);
    w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
    return w.Take();
}

inline std::string MessageFrame(const char* type, std::uint32_t channelId, std::uint32_t tokenId,
                                std::uint32_t sequence, std::uint32_t requestId, const std::string& body) {
    TUaBinaryWriter w;
    w.Bytes() = type;
    w.UInt32(0);
    w.UInt32(channelId);
    w.UInt32(tokenId);
    w.UInt32(sequence);
    w.UInt32(requestId);
    w.Bytes() += body;
    w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
    return w.Take();
}

// Splits the bytes written so far into frames and clears them.
inline std::vector<TFrame> TakeFrames(TFakeUaSocket& socket) {
    std::vector<TFrame> frames;
    std::string& data = socket.Written;
    while (data.size() >= 8) {
        TUaBinaryReader r(std::string_view(data).substr(4, 4));
        std::uint32_t size = r.UInt32();
        if (size < 8 || data.size() < size) break;
        frames.push_back({data.substr(0, 4), data.substr(8, size - 8)});
        data.erase(0, size);
    }
    return frames;
}

// The body of an ERR frame: the status code.
inline TUaStatusCode ErrorCode(const TFrame& frame) {
    TUaBinaryReader r(frame.Body);
    return r.UInt32();
}

// Service body of a MSG frame, past channel id, token id, sequence number and request id.
inline std::string MessagePayload(const TFrame& frame) { return frame.Body.substr(16); }

// Reads the response type id and header; leaves the reader at the response's own fields.
struct TResponseStart {
    std::uint32_t TypeId = 0;
    std::uint32_t RequestHandle = 0;
    TUaStatusCode ServiceResult = 0;
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

} // namespace dravon::test
