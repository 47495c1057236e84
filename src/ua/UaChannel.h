// One opc.tcp connection as a state machine: the UA TCP transport (Hello/Acknowledge,
// chunk framing and reassembly, Error messages) and the secure channel on top of it
// (OpenSecureChannel issue and renew, token ids, sequence numbers, CloseSecureChannel).
// Decoding of service messages is not its business: it hands complete requests to its
// owner and chunks the responses. What a chunk's plain part looks like on the wire is the
// security policy's business (UaSecurityPolicy.h). Malformed, oversized or out-of-order
// input, and a state that lasts too long, send an Error message and close.
//
//   client                      channel               time-out
//   (connect)                   WaitHello             HandshakeTimeout
//   HEL  ----------------------> negotiate buffer, message and chunk limits
//        <---------------------- ACK                  WaitOpen: HandshakeTimeout
//   OPN (issue) ---------------> policy chosen, token 1
//        <---------------------- OPN response         Open: token lifetime + 25 %
//   MSG (C..C F) --------------> reassembled request -> OnRequest
//                                 (a message begun: MessageTimeout)
//        <---------------------- MSG chunks of the response
//   CLO  ----------------------> Closed
#pragma once

#include "ua/UaConfig.h"
#include "ua/UaSecurityPolicy.h"
#include "ua/UaSocket.h"
#include "ua/UaTypes.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dravon {

class IClock;

class TUaChannel {
public:
    enum class TState { WaitHello, WaitOpen, Open, Closed };

    TUaChannel(std::unique_ptr<IUaSocket> socket, const TUaConfig& config, const IClock& clock,
               std::uint32_t channelId, TUaSecurityPolicyFactory policies = UaNoneOnlyPolicy);
    ~TUaChannel();
    TUaChannel(const TUaChannel&) = delete;
    TUaChannel& operator=(const TUaChannel&) = delete;

    // A complete service request: its request id and body (type id first).
    std::function<void(std::uint32_t requestId, std::string_view body)> OnRequest;
    // An Error message was sent (the channel closes next); timedOut when a state lasted
    // too long.
    std::function<void(TUaStatusCode code, const std::string& reason, bool timedOut)> OnError;
    // The channel closed (by the client, by an error or by Close()); called once.
    std::function<void()> OnClosed;

    // Feeds received bytes (the socket's receive handler calls this).
    void Receive(std::string_view bytes);
    // Sends a response body (type id first) to the request with the given id. A body the
    // client's limits do not take is answered with a ServiceFault Bad_ResponseTooLarge, and
    // where not even that fits, with an Error message and the close.
    void SendResponse(std::uint32_t requestId, std::uint32_t requestHandle, const std::string& body);
    // Sends an Error message with the code and closes.
    void Fail(TUaStatusCode code, const std::string& reason);
    void Close();
    // Called periodically: closes the channel when its current state lasted too long.
    void CheckTimeouts();

    TState State() const { return State_; }
    std::uint32_t ChannelId() const { return ChannelId_; }
    std::uint32_t TokenId() const { return TokenId_; }
    std::string EndpointUrl() const { return EndpointUrl_; }
    std::uint32_t SendBufferSize() const { return SendBufferSize_; }
    std::uint32_t ReceiveBufferSize() const { return ReceiveBufferSize_; }
    std::string PeerAddress() const;
    // Tick of the last bytes received (of the connect before any).
    std::uint32_t LastReceiveTick() const { return LastReceiveTick_; }
    // The policy of the open channel (null before the first OpenSecureChannel).
    const IUaSecurityPolicy* Policy() const { return Policy_.get(); }

    static constexpr std::uint32_t MinTokenLifetimeMs = 10000;
    static constexpr std::uint32_t MaxTokenLifetimeMs = 3600000;
    static constexpr std::uint32_t MaxEndpointUrlLength = 4096;
    // Message header (8) + channel id (4) + token id (4).
    static constexpr std::uint32_t SymmetricPrefixSize = 16;
    static constexpr std::uint32_t SequenceHeaderSize = 8;

private:
    void Raise(TUaStatusCode code, const std::string& reason, bool timedOut);
    void HandleChunk(std::string_view type, char chunkType, std::string_view chunk);
    void HandleHello(std::string_view body);
    void HandleOpen(std::string_view chunk);
    void HandleSymmetric(std::string_view type, char chunkType, std::string_view chunk);
    void HandleMessage(char chunkType, std::uint32_t requestId, std::string_view payload);
    bool CheckSequence(std::uint32_t sequenceNumber);
    // Responses stay under the previous token until the client uses the new one, so a
    // client that has not yet seen the renewal's answer can still read them.
    std::uint32_t SendTokenId() const { return PreviousTokenValid_ ? PreviousTokenId_ : TokenId_; }
    // Whether a response body of this size goes out within every limit.
    bool Fits(std::size_t bodySize) const;
    void SendChunks(std::uint32_t requestId, std::string_view body);
    void WriteChunk(std::string chunk);
    TUaDateTime Now() const;

    std::unique_ptr<IUaSocket> Socket_;
    const TUaConfig& Config_;
    const IClock& Clock_;
    TUaSecurityPolicyFactory Policies_;
    std::unique_ptr<IUaSecurityPolicy> Policy_;
    TState State_ = TState::WaitHello;
    std::uint32_t ChannelId_;
    std::uint32_t StateTick_;
    std::uint32_t LastReceiveTick_;
    // Since when a message is incomplete (bytes of a chunk, or chunks without the final).
    std::optional<std::uint32_t> MessageSince_;
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
