// One opc.tcp connection: the UA TCP transport (Hello/Acknowledge, chunk framing and
// reassembly, Error messages) and the secure channel on top of it with security policy
// None (OpenSecureChannel issue and renew, token ids, sequence numbers, CloseSecureChannel).
// It hands complete service requests to its owner and chunks the responses. Any
// malformed, oversized or out-of-order input sends an Error message and closes.
//
//   client                      channel
//   HEL  ----------------------> negotiate buffer, message and chunk limits
//        <---------------------- ACK
//   OPN (issue) ---------------> token 1
//        <---------------------- OPN response
//   MSG (C..C F) --------------> reassembled request -> OnRequest
//        <---------------------- MSG chunks of the response
//   CLO  ----------------------> closed
#pragma once

#include "ua/UaConfig.h"
#include "ua/UaSocket.h"
#include "ua/UaTypes.h"

#include <functional>
#include <memory>
#include <string>

namespace dravon {

class IClock;

class TUaChannel {
public:
    enum class TState { WaitHello, WaitOpen, Open, Closed };

    TUaChannel(std::unique_ptr<IUaSocket> socket, const TUaConfig& config, const IClock& clock,
               std::uint32_t channelId);
    ~TUaChannel();
    TUaChannel(const TUaChannel&) = delete;
    TUaChannel& operator=(const TUaChannel&) = delete;

    // A complete service request: its request id and body (type id first).
    std::function<void(std::uint32_t requestId, std::string_view body)> OnRequest;
    // The channel closed (by the client, by an error or by Close()); called once.
    std::function<void()> OnClosed;

    // Feeds received bytes (the socket's receive handler calls this).
    void Receive(std::string_view bytes);
    // Sends a response body (type id first) to the request with the given id. A body
    // larger than the client accepts becomes a ServiceFault Bad_ResponseTooLarge.
    void SendResponse(std::uint32_t requestId, std::uint32_t requestHandle, const std::string& body);
    // Sends an Error message with the code and closes.
    void Fail(TUaStatusCode code, const std::string& reason);
    void Close();
    // Called periodically: a connection that never says Hello and a channel whose token
    // ran out without renewal are closed.
    void CheckTimeouts();

    TState State() const { return State_; }
    std::uint32_t ChannelId() const { return ChannelId_; }
    std::uint32_t TokenId() const { return TokenId_; }
    std::string EndpointUrl() const { return EndpointUrl_; }
    std::uint32_t SendBufferSize() const { return SendBufferSize_; }
    std::uint32_t ReceiveBufferSize() const { return ReceiveBufferSize_; }
    std::string PeerAddress() const;

    static constexpr std::uint32_t HelloTimeoutMs = 10000;
    static constexpr std::uint32_t MinTokenLifetimeMs = 10000;
    static constexpr std::uint32_t MaxTokenLifetimeMs = 3600000;
    static constexpr std::uint32_t MaxEndpointUrlLength = 4096;

private:
    void HandleChunk(std::string_view type, char chunkType, std::string_view chunk);
    void HandleHello(std::string_view body);
    void HandleOpen(std::string_view body);
    void HandleMessage(char chunkType, std::string_view body);
    bool CheckSequence(std::uint32_t sequenceNumber);
    void WriteChunk(const char* type, char chunkType, const std::string& headerAndBody);
    TUaDateTime Now() const;

    std::unique_ptr<IUaSocket> Socket_;
    const TUaConfig& Config_;
    const IClock& Clock_;
    TState State_ = TState::WaitHello;
    std::uint32_t ChannelId_;
    std::uint32_t CreatedTick_;
    std::string Buffer_;

    // Negotiated with the Hello.
    std::uint32_t ReceiveBufferSize_ = TUaConfig::ReceiveBufferSize;
    std::uint32_t SendBufferSize_ = TUaConfig::ReceiveBufferSize;
    std::uint32_t ClientMaxMessageSize_ = 0; // 0: no limit
    std::uint32_t ClientMaxChunkCount_ = 0;
    std::string EndpointUrl_;

    // Security tokens: the current one and, after a renewal, the previous one until the
    // client switches or it runs out.
    std::uint32_t TokenId_ = 0;
    std::uint32_t TokenLifetime_ = 0;
    std::uint32_t TokenTick_ = 0;
    std::uint32_t PreviousTokenId_ = 0;
    bool PreviousTokenValid_ = false;

    bool HaveSequence_ = false;
    std::uint32_t LastSequence_ = 0;
    std::uint32_t SendSequence_ = 0;

    // Reassembly of a request sent in several chunks.
    std::string Partial_;
    std::uint32_t PartialRequestId_ = 0;
    std::uint32_t PartialChunks_ = 0;
};

} // namespace dravon
