#include "ua/UaChannel.h"

#include "app/Platform.h"
#include "app/TimeDate.h"
#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaMessages.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <algorithm>

namespace dravon {

namespace {
constexpr const char* SecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
// Message header (8) + channel id (4) + token id (4) + sequence header (8).
constexpr std::uint32_t SymmetricOverhead = 24;
constexpr std::uint32_t MessageHeaderSize = 8;
} // namespace

TUaChannel::TUaChannel(std::unique_ptr<IUaSocket> socket, const TUaConfig& config, const IClock& clock,
                       std::uint32_t channelId)
    : Socket_(std::move(socket)), Config_(config), Clock_(clock), ChannelId_(channelId),
      CreatedTick_(clock.TickCount()) {
    Socket_->OnReceived = [this](std::string_view bytes) { Receive(bytes); };
    Socket_->OnDisconnected = [this] {
        if (State_ == TState::Closed) return;
        State_ = TState::Closed;
        if (OnClosed) OnClosed();
    };
}

TUaChannel::~TUaChannel() {
    if (Socket_) {
        Socket_->OnReceived = nullptr;
        Socket_->OnDisconnected = nullptr;
        if (State_ != TState::Closed) Socket_->Close();
    }
}

std::string TUaChannel::PeerAddress() const { return Socket_ ? Socket_->PeerAddress() : std::string(); }

TUaDateTime TUaChannel::Now() const {
    return static_cast<TUaDateTime>(DateTimeToFileTime(Clock_.Now(), Clock_.TimeZoneBiasMinutes()));
}

void TUaChannel::Close() {
    if (State_ == TState::Closed) return;
    State_ = TState::Closed;
    Buffer_.clear();
    Partial_.clear();
    Socket_->Close();
    if (OnClosed) OnClosed();
}

void TUaChannel::Fail(TUaStatusCode code, const std::string& reason) {
    if (State_ == TState::Closed) return;
    TUaBinaryWriter w;
    w.Bytes() = "ERRF";
    w.UInt32(0);
    w.StatusCode(code);
    w.String(reason);
    w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
    Socket_->Write(w.Bytes());
    Close();
}

void TUaChannel::CheckTimeouts() {
    std::uint32_t now = Clock_.TickCount();
    if (State_ == TState::WaitHello && TickDiff(now, CreatedTick_) >= HelloTimeoutMs) {
        Fail(UaStatus::BadTimeout, "No Hello received");
        return;
    }
    // The client renews at 75 % of the lifetime; past 125 % the token is dead.
    if (State_ == TState::Open && TickDiff(now, TokenTick_) > TokenLifetime_ + TokenLifetime_ / 4) {
        Fail(UaStatus::BadSecureChannelTokenUnknown, "Security token expired");
    }
}

void TUaChannel::Receive(std::string_view bytes) {
    if (State_ == TState::Closed) return;
    Buffer_.append(bytes.data(), bytes.size());
    while (State_ != TState::Closed && Buffer_.size() >= 4) {
        std::string_view type(Buffer_.data(), 3);
        char chunkType = Buffer_[3];
        bool known = type == "HEL" || type == "OPN" || type == "MSG" || type == "CLO";
        if (!known || (chunkType != 'F' && chunkType != 'C' && chunkType != 'A')) {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unknown message type");
            return;
        }
        if (Buffer_.size() < MessageHeaderSize) return;
        TUaBinaryReader header(std::string_view(Buffer_).substr(4, 4));
        std::uint32_t size = header.UInt32();
        if (size < MessageHeaderSize + 4) {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Message size too small");
            return;
        }
        if (size > ReceiveBufferSize_) {
            Fail(UaStatus::BadTcpMessageTooLarge, "Chunk larger than the receive buffer");
            return;
        }
        if (Buffer_.size() < size) return;
        std::string chunk = Buffer_.substr(0, size);
        Buffer_.erase(0, size);
        HandleChunk(std::string_view(chunk).substr(0, 3), chunk[3],
                    std::string_view(chunk).substr(MessageHeaderSize));
    }
}

void TUaChannel::HandleChunk(std::string_view type, char chunkType, std::string_view body) {
    if (type == "HEL") {
        if (State_ != TState::WaitHello || chunkType != 'F') {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unexpected Hello");
            return;
        }
        HandleHello(body);
    } else if (type == "OPN") {
        if ((State_ != TState::WaitOpen && State_ != TState::Open) || chunkType != 'F') {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unexpected OpenSecureChannel");
            return;
        }
        HandleOpen(body);
    } else if (type == "MSG") {
        if (State_ != TState::Open) {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Message before OpenSecureChannel");
            return;
        }
        HandleMessage(chunkType, body);
    } else { // CLO
        if (State_ != TState::Open) {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unexpected CloseSecureChannel");
            return;
        }
        TUaBinaryReader r(body);
        std::uint32_t channelId = r.UInt32();
        if (!r.Ok() || channelId != ChannelId_) {
            Fail(UaStatus::BadTcpSecureChannelUnknown, "Unknown secure channel");
            return;
        }
        Close();
    }
}

void TUaChannel::HandleHello(std::string_view body) {
    TUaBinaryReader r(body);
    std::uint32_t protocolVersion = r.UInt32();
    std::uint32_t clientReceive = r.UInt32();
    std::uint32_t clientSend = r.UInt32();
    std::uint32_t maxMessage = r.UInt32();
    std::uint32_t maxChunks = r.UInt32();
    auto url = r.NullableString();
    (void)protocolVersion; // any client version talks to our version 0
    if (!r.Ok() || !r.AtEnd()) {
        Fail(UaStatus::BadDecodingError, "Malformed Hello");
        return;
    }
    if (url && url->size() > MaxEndpointUrlLength) {
        Fail(UaStatus::BadTcpEndpointUrlInvalid, "Endpoint URL too long");
        return;
    }
    if (clientReceive < TUaConfig::MinBufferSize || clientSend < TUaConfig::MinBufferSize) {
        Fail(UaStatus::BadTcpNotEnoughResources, "Buffer sizes below 8192");
        return;
    }
    EndpointUrl_ = url.value_or(std::string());
    SendBufferSize_ = std::min(clientReceive, TUaConfig::ReceiveBufferSize);
    ReceiveBufferSize_ = std::min(clientSend, TUaConfig::ReceiveBufferSize);
    ClientMaxMessageSize_ = maxMessage;
    ClientMaxChunkCount_ = maxChunks;

    TUaBinaryWriter w;
    w.Bytes() = "ACKF";
    w.UInt32(28);
    w.UInt32(0);
    w.UInt32(ReceiveBufferSize_);
    w.UInt32(SendBufferSize_);
    w.UInt32(Config_.MaxMessageSize);
    w.UInt32(Config_.MaxChunkCount);
    Socket_->Write(w.Bytes());
    State_ = TState::WaitOpen;
}

bool TUaChannel::CheckSequence(std::uint32_t sequenceNumber) {
    if (HaveSequence_) {
        bool next = sequenceNumber == LastSequence_ + 1;
        // Numbers may wrap once they pass 2^32 - 1024, to a value below 1024.
        bool wrapped = LastSequence_ > 0xFFFFFBFFu && sequenceNumber < 1024;
        if (!next && !wrapped) return false;
    }
    HaveSequence_ = true;
    LastSequence_ = sequenceNumber;
    return true;
}

void TUaChannel::HandleOpen(std::string_view body) {
    TUaBinaryReader r(body);
    std::uint32_t channelId = r.UInt32();
    auto policy = r.NullableString();
    std::string certificate = r.ByteString();
    std::string thumbprint = r.ByteString();
    std::uint32_t sequenceNumber = r.UInt32();
    std::uint32_t requestId = r.UInt32();
    TUaNodeId typeId = r.NodeId();
    if (!r.Ok()) {
        Fail(UaStatus::BadDecodingError, "Malformed OpenSecureChannel");
        return;
    }
    if (policy.value_or("") != SecurityPolicyNone) {
        Fail(UaStatus::BadSecurityPolicyRejected, "Only security policy None is offered");
        return;
    }
    if (!typeId.IsNum(UaId::OpenSecureChannelRequest)) {
        Fail(UaStatus::BadTcpMessageTypeInvalid, "OpenSecureChannel without its request");
        return;
    }
    TUaOpenSecureChannelRequest request;
    if (!Decode(r, request)) {
        Fail(UaStatus::BadDecodingError, "Malformed OpenSecureChannelRequest");
        return;
    }
    bool renew = request.RequestType == 1;
    if (request.RequestType > 1 || renew != (State_ == TState::Open)) {
        Fail(UaStatus::BadRequestTypeInvalid, "Issue on an open channel or renew before issue");
        return;
    }
    if (renew && channelId != ChannelId_) {
        Fail(UaStatus::BadTcpSecureChannelUnknown, "Renewal for another channel");
        return;
    }
    if (request.SecurityMode != 1) {
        Fail(UaStatus::BadSecurityModeRejected, "Only security mode None is offered");
        return;
    }
    if (renew) {
        if (!CheckSequence(sequenceNumber)) {
            Fail(UaStatus::BadSequenceNumberInvalid, "Sequence number out of order");
            return;
        }
    } else {
        HaveSequence_ = true;
        LastSequence_ = sequenceNumber;
    }
    PreviousTokenId_ = TokenId_;
    PreviousTokenValid_ = renew;
    ++TokenId_;
    TokenLifetime_ = std::clamp(request.RequestedLifetime ? request.RequestedLifetime : 600000u,
                                MinTokenLifetimeMs, MaxTokenLifetimeMs);
    TokenTick_ = Clock_.TickCount();
    State_ = TState::Open;

    TUaBinaryWriter w;
    w.UInt32(ChannelId_);
    w.String(SecurityPolicyNone);
    w.Int32(-1); // no certificate
    w.Int32(-1); // no thumbprint
    w.UInt32(++SendSequence_);
    w.UInt32(requestId);
    WriteResponseStart(w, UaId::OpenSecureChannelResponse, Now(), request.Header.RequestHandle);
    w.UInt32(0); // protocol version
    w.UInt32(ChannelId_);
    w.UInt32(TokenId_);
    w.DateTime(Now());
    w.UInt32(TokenLifetime_);
    w.Int32(-1); // no server nonce with policy None
    WriteChunk("OPN", 'F', w.Bytes());
}

void TUaChannel::HandleMessage(char chunkType, std::string_view body) {
    TUaBinaryReader r(body);
    std::uint32_t channelId = r.UInt32();
    std::uint32_t tokenId = r.UInt32();
    std::uint32_t sequenceNumber = r.UInt32();
    std::uint32_t requestId = r.UInt32();
    if (!r.Ok()) {
        Fail(UaStatus::BadDecodingError, "Malformed message header");
        return;
    }
    if (channelId != ChannelId_) {
        Fail(UaStatus::BadTcpSecureChannelUnknown, "Unknown secure channel");
        return;
    }
    if (tokenId == TokenId_) {
        PreviousTokenValid_ = false; // the client switched to the new token
    } else if (!(PreviousTokenValid_ && tokenId == PreviousTokenId_)) {
        Fail(UaStatus::BadSecureChannelTokenUnknown, "Unknown security token");
        return;
    }
    if (!CheckSequence(sequenceNumber)) {
        Fail(UaStatus::BadSequenceNumberInvalid, "Sequence number out of order");
        return;
    }
    std::string_view payload = body.substr(16);
    if (chunkType == 'A') {
        Partial_.clear();
        PartialChunks_ = 0;
        return;
    }
    if (PartialChunks_ > 0 && requestId != PartialRequestId_) {
        Fail(UaStatus::BadTcpMessageTypeInvalid, "Chunks of two requests interleaved");
        return;
    }
    PartialRequestId_ = requestId;
    ++PartialChunks_;
    if (PartialChunks_ > Config_.MaxChunkCount || Partial_.size() + payload.size() > Config_.MaxMessageSize) {
        Fail(UaStatus::BadRequestTooLarge, "Request exceeds the message limits");
        return;
    }
    Partial_.append(payload.data(), payload.size());
    if (chunkType == 'C') return;
    std::string message;
    message.swap(Partial_);
    PartialChunks_ = 0;
    if (OnRequest) OnRequest(requestId, message);
}

void TUaChannel::WriteChunk(const char* type, char chunkType, const std::string& headerAndBody) {
    TUaBinaryWriter w;
    w.Bytes().append(type, 3);
    w.Bytes().push_back(chunkType);
    w.UInt32(static_cast<std::uint32_t>(MessageHeaderSize + headerAndBody.size()));
    w.Bytes() += headerAndBody;
    Socket_->Write(w.Bytes());
    // A client that does not read its answers must not make us buffer without limit.
    if (Socket_->PendingBytes() > 2u * Config_.MaxMessageSize + 1024u * 1024u) {
        Close();
    }
}

void TUaChannel::SendResponse(std::uint32_t requestId, std::uint32_t requestHandle, const std::string& body) {
    if (State_ != TState::Open) return;
    std::uint32_t perChunk = SendBufferSize_ - SymmetricOverhead;
    std::size_t chunks = (body.size() + perChunk - 1) / perChunk;
    if (chunks == 0) chunks = 1;
    bool tooLarge = (ClientMaxMessageSize_ && body.size() > ClientMaxMessageSize_) ||
                    (ClientMaxChunkCount_ && chunks > ClientMaxChunkCount_) ||
                    body.size() > Config_.MaxMessageSize;
    if (tooLarge) {
        SendResponse(requestId, requestHandle,
                     EncodeServiceFault(Now(), requestHandle, UaStatus::BadResponseTooLarge));
        return;
    }
    for (std::size_t i = 0; i < chunks && State_ == TState::Open; ++i) {
        TUaBinaryWriter w;
        w.UInt32(ChannelId_);
        w.UInt32(TokenId_);
        w.UInt32(++SendSequence_);
        w.UInt32(requestId);
        w.Bytes().append(body, i * perChunk, perChunk);
        WriteChunk("MSG", i + 1 == chunks ? 'F' : 'C', w.Bytes());
    }
}

} // namespace dravon
