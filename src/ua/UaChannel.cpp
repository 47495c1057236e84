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
constexpr std::uint32_t MessageHeaderSize = 8;

// The message header with a size to be patched and the secure channel id.
std::string ChunkPrefix(std::string_view type, char chunkType, std::uint32_t channelId) {
    TUaBinaryWriter w;
    w.Bytes().append(type.data(), type.size());
    w.Bytes().push_back(chunkType);
    w.UInt32(0);
    w.UInt32(channelId);
    return w.Take();
}
} // namespace

TUaChannel::TUaChannel(std::unique_ptr<IUaSocket> socket, const TUaConfig& config, const IClock& clock,
                       std::uint32_t channelId, TUaSecurityPolicyFactory policies)
    : Socket_(std::move(socket)), Config_(config), Clock_(clock), Policies_(std::move(policies)),
      ChannelId_(channelId), StateTick_(clock.TickCount()), LastReceiveTick_(StateTick_) {
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

void TUaChannel::Fail(TUaStatusCode code, const std::string& reason) { Raise(code, reason, false); }

void TUaChannel::Raise(TUaStatusCode code, const std::string& reason, bool timedOut) {
    if (State_ == TState::Closed) return;
    TUaBinaryWriter w;
    w.Bytes() = "ERRF";
    w.UInt32(0);
    w.StatusCode(code);
    w.String(reason);
    w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
    Socket_->Write(w.Bytes());
    if (OnError) OnError(code, reason, timedOut);
    Close();
}

void TUaChannel::CheckTimeouts() {
    std::uint32_t now = Clock_.TickCount();
    switch (State_) {
    case TState::WaitHello:
        if (TickDiff(now, StateTick_) >= Config_.HandshakeTimeoutMs)
            Raise(UaStatus::BadTimeout, "No Hello received", true);
        return;
    case TState::WaitOpen:
        if (TickDiff(now, StateTick_) >= Config_.HandshakeTimeoutMs)
            Raise(UaStatus::BadTimeout, "No OpenSecureChannel received", true);
        return;
    case TState::Open:
        if (MessageSince_ && TickDiff(now, *MessageSince_) >= Config_.MessageTimeoutMs) {
            Raise(UaStatus::BadTimeout, "Message not completed in time", true);
            return;
        }
        // The client renews at 75 % of the lifetime; past 125 % the token is dead.
        if (TickDiff(now, TokenTick_) > TokenLifetime_ + TokenLifetime_ / 4)
            Raise(UaStatus::BadSecureChannelTokenUnknown, "Security token expired", true);
        return;
    case TState::Closed: return;
    }
}

void TUaChannel::Receive(std::string_view bytes) {
    if (State_ == TState::Closed) return;
    LastReceiveTick_ = Clock_.TickCount();
    Buffer_.append(bytes.data(), bytes.size());
    while (State_ != TState::Closed && Buffer_.size() >= 4) {
        std::string_view type(Buffer_.data(), 3);
        char chunkType = Buffer_[3];
        bool known = type == "HEL" || type == "OPN" || type == "MSG" || type == "CLO";
        if (!known || (chunkType != 'F' && chunkType != 'C' && chunkType != 'A')) {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unknown message type");
            return;
        }
        if (Buffer_.size() < MessageHeaderSize) break;
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
        if (Buffer_.size() < size) break;
        std::string chunk = Buffer_.substr(0, size);
        Buffer_.erase(0, size);
        HandleChunk(std::string_view(chunk).substr(0, 3), chunk[3], chunk);
    }
    if (State_ == TState::Closed) return;
    bool incomplete = !Buffer_.empty() || PartialChunks_ > 0;
    if (!incomplete)
        MessageSince_.reset();
    else if (!MessageSince_)
        MessageSince_ = LastReceiveTick_;
}

void TUaChannel::HandleChunk(std::string_view type, char chunkType, std::string_view chunk) {
    if (type == "HEL") {
        if (State_ != TState::WaitHello || chunkType != 'F') {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unexpected Hello");
            return;
        }
        HandleHello(chunk.substr(MessageHeaderSize));
    } else if (type == "OPN") {
        if ((State_ != TState::WaitOpen && State_ != TState::Open) || chunkType != 'F') {
            Fail(UaStatus::BadTcpMessageTypeInvalid, "Unexpected OpenSecureChannel");
            return;
        }
        HandleOpen(chunk);
    } else {
        if (State_ != TState::Open) {
            Fail(UaStatus::BadTcpMessageTypeInvalid,
                 type == "MSG" ? "Message before OpenSecureChannel" : "Unexpected CloseSecureChannel");
            return;
        }
        HandleSymmetric(type, chunkType, chunk);
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
    // A client that cannot take even a ServiceFault could never be answered.
    if (maxMessage != 0 && maxMessage < EncodeServiceFault(0, 0, 0).size()) {
        Fail(UaStatus::BadTcpNotEnoughResources, "MaxMessageSize cannot hold a ServiceFault");
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
    StateTick_ = Clock_.TickCount();
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

void TUaChannel::HandleOpen(std::string_view chunk) {
    TUaBinaryReader r(chunk.substr(MessageHeaderSize));
    std::uint32_t channelId = r.UInt32();
    TUaAsymmetricHeader header;
    header.PolicyUri = r.NullableString().value_or("");
    header.SenderCertificate = r.ByteString();
    header.ReceiverThumbprint = r.ByteString();
    if (!r.Ok()) {
        Fail(UaStatus::BadDecodingError, "Malformed OpenSecureChannel");
        return;
    }
    bool renew = State_ == TState::Open;
    if (renew) {
        if (header.PolicyUri != Policy_->Uri()) {
            Fail(UaStatus::BadSecurityPolicyRejected, "Renewal with another security policy");
            return;
        }
    } else {
        TUaStatusCode refusal = UaStatus::BadSecurityPolicyRejected;
        std::string reason = "Security policy not offered";
        Policy_ = Policies_ ? Policies_(header, refusal, reason) : nullptr;
        if (!Policy_) {
            Fail(refusal, reason);
            return;
        }
    }
    std::size_t prefixSize = MessageHeaderSize + r.Position();
    std::string plain;
    if (TUaStatusCode status =
            Policy_->Unprotect(true, 0, chunk.substr(0, prefixSize), chunk.substr(prefixSize), plain)) {
        Fail(status, "OpenSecureChannel refused by the security policy");
        return;
    }
    TUaBinaryReader p(plain);
    std::uint32_t sequenceNumber = p.UInt32();
    std::uint32_t requestId = p.UInt32();
    TUaNodeId typeId = p.NodeId();
    if (!p.Ok()) {
        Fail(UaStatus::BadDecodingError, "Malformed OpenSecureChannel");
        return;
    }
    if (!typeId.IsNum(UaId::OpenSecureChannelRequest)) {
        Fail(UaStatus::BadTcpMessageTypeInvalid, "OpenSecureChannel without its request");
        return;
    }
    TUaOpenSecureChannelRequest request;
    if (!Decode(p, request)) {
        Fail(UaStatus::BadDecodingError, "Malformed OpenSecureChannelRequest");
        return;
    }
    if (request.RequestType > 1 || (request.RequestType == 1) != renew) {
        Fail(UaStatus::BadRequestTypeInvalid, "Issue on an open channel or renew before issue");
        return;
    }
    if (renew && channelId != ChannelId_) {
        Fail(UaStatus::BadTcpSecureChannelUnknown, "Renewal for another channel");
        return;
    }
    if (!Policy_->AcceptsMode(request.SecurityMode)) {
        Fail(UaStatus::BadSecurityModeRejected, "Security mode not offered with this policy");
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
    std::string serverNonce;
    if (TUaStatusCode status =
            Policy_->IssueToken(request.SecurityMode, TokenId_ + 1, request.ClientNonce, serverNonce)) {
        Fail(status, "Security token refused");
        return;
    }
    PreviousTokenId_ = TokenId_;
    PreviousTokenValid_ = renew;
    ++TokenId_;
    TokenLifetime_ = std::clamp(request.RequestedLifetime ? request.RequestedLifetime : 600000u,
                                MinTokenLifetimeMs, MaxTokenLifetimeMs);
    TokenTick_ = Clock_.TickCount();
    State_ = TState::Open;
    StateTick_ = TokenTick_;

    TUaBinaryWriter prefix;
    prefix.Bytes() = ChunkPrefix("OPN", 'F', ChannelId_);
    TUaAsymmetricHeader own = Policy_->ServerHeader();
    prefix.String(own.PolicyUri);
    prefix.ByteString(own.SenderCertificate);
    prefix.ByteString(own.ReceiverThumbprint);
    TUaBinaryWriter w;
    w.UInt32(++SendSequence_);
    w.UInt32(requestId);
    WriteResponseStart(w, UaId::OpenSecureChannelResponse, Now(), request.Header.RequestHandle);
    w.UInt32(0); // protocol version
    w.UInt32(ChannelId_);
    w.UInt32(TokenId_);
    w.DateTime(Now());
    w.UInt32(TokenLifetime_);
    w.ByteString(serverNonce);
    std::string out = prefix.Take();
    Policy_->Protect(true, 0, out, w.Bytes());
    WriteChunk(std::move(out));
}

void TUaChannel::HandleSymmetric(std::string_view type, char chunkType, std::string_view chunk) {
    TUaBinaryReader r(chunk.substr(MessageHeaderSize, SymmetricPrefixSize - MessageHeaderSize));
    std::uint32_t channelId = r.UInt32();
    std::uint32_t tokenId = r.UInt32();
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
    std::string plain;
    if (TUaStatusCode status = Policy_->Unprotect(false, tokenId, chunk.substr(0, SymmetricPrefixSize),
                                                  chunk.substr(SymmetricPrefixSize), plain)) {
        Fail(status, "Message refused by the security policy");
        return;
    }
    TUaBinaryReader p(plain);
    std::uint32_t sequenceNumber = p.UInt32();
    std::uint32_t requestId = p.UInt32();
    if (!p.Ok()) {
        Fail(UaStatus::BadDecodingError, "Malformed message header");
        return;
    }
    if (!CheckSequence(sequenceNumber)) {
        Fail(UaStatus::BadSequenceNumberInvalid, "Sequence number out of order");
        return;
    }
    if (type == "CLO") {
        Close();
        return;
    }
    HandleMessage(chunkType, requestId, std::string_view(plain).substr(SequenceHeaderSize));
}

void TUaChannel::HandleMessage(char chunkType, std::uint32_t requestId, std::string_view payload) {
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

void TUaChannel::WriteChunk(std::string chunk) {
    Socket_->Write(chunk);
    // A client that does not read its answers must not make us buffer without limit.
    if (Socket_->PendingBytes() > 2u * Config_.MaxMessageSize + 1024u * 1024u) Close();
}

bool TUaChannel::Fits(std::size_t bodySize) const {
    std::size_t perChunk =
        Policy_->PlainCapacity(false, SendBufferSize_, SymmetricPrefixSize) - SequenceHeaderSize;
    std::size_t chunks = std::max<std::size_t>(1, (bodySize + perChunk - 1) / perChunk);
    return (ClientMaxMessageSize_ == 0 || bodySize <= ClientMaxMessageSize_) &&
           (ClientMaxChunkCount_ == 0 || chunks <= ClientMaxChunkCount_) &&
           bodySize <= Config_.MaxMessageSize;
}

void TUaChannel::SendChunks(std::uint32_t requestId, std::string_view body) {
    std::size_t perChunk =
        Policy_->PlainCapacity(false, SendBufferSize_, SymmetricPrefixSize) - SequenceHeaderSize;
    std::size_t chunks = std::max<std::size_t>(1, (body.size() + perChunk - 1) / perChunk);
    for (std::size_t i = 0; i < chunks && State_ == TState::Open; ++i) {
        TUaBinaryWriter prefix;
        prefix.Bytes() = ChunkPrefix("MSG", i + 1 == chunks ? 'F' : 'C', ChannelId_);
        prefix.UInt32(SendTokenId());
        TUaBinaryWriter plain;
        plain.UInt32(++SendSequence_);
        plain.UInt32(requestId);
        std::string_view part = body.substr(std::min(body.size(), i * perChunk), perChunk);
        plain.Bytes().append(part.data(), part.size());
        std::string out = prefix.Take();
        Policy_->Protect(false, SendTokenId(), out, plain.Bytes());
        WriteChunk(std::move(out));
    }
}

void TUaChannel::SendResponse(std::uint32_t requestId, std::uint32_t requestHandle, const std::string& body) {
    if (State_ != TState::Open) return;
    if (Fits(body.size())) {
        SendChunks(requestId, body);
        return;
    }
    // Once, not recursively: a fault that does not fit either ends the channel.
    std::string fault = EncodeServiceFault(Now(), requestHandle, UaStatus::BadResponseTooLarge);
    if (!Fits(fault.size())) {
        Fail(UaStatus::BadResponseTooLarge, "Response exceeds the client's limits");
        return;
    }
    SendChunks(requestId, fault);
}

} // namespace dravon
