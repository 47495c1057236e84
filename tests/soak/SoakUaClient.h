// One OPC UA client of the soak over a real loopback socket, driven by the same event loop
// as everything else and never waiting: Hello, OpenSecureChannel, CreateSession,
// ActivateSession, a subscription with monitored items on soak words, then Publish
// requests kept in flight while Step sends writes and device reads (maxAge 0). Every
// answer is checked against the ledger; a Good write result counts as an accepted write.
#pragma once

#include "SoakClient.h"

#include "ua/UaTypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTcpSocket;

namespace dravon {
class TUaBinaryReader;
class TUaBinaryWriter;
} // namespace dravon

namespace dravon::soak {

// The fields of the session requests (after the request header), for the soak's clients.
void WriteCreateSession(TUaBinaryWriter& w, const std::string& name, double timeoutMs);
void WriteActivateSession(TUaBinaryWriter& w, bool anonymousToken);
void WriteCreateSubscription(TUaBinaryWriter& w, double publishingMs, std::uint32_t lifetime,
                             std::uint32_t keepAlive);

class TSoakUaClient : public TSoakClientBase {
public:
    enum class TState : std::uint8_t { Connecting, Ready, Closing, Closed, Failed };

    // monitored: ledger indexes watched by the subscription and read from the device;
    // writable: the ones this client writes (no other client may write them, so that the
    // order of answers is the order the server stored the values in).
    TSoakUaClient(TSoakEnv& env, std::string name, std::uint16_t port, std::vector<int> monitored,
                  std::vector<int> writable, double publishingMs, double sessionTimeoutMs);
    ~TSoakUaClient() override;

    void Connect();
    TState State() const { return State_; }
    bool Ready() const { return State_ == TState::Ready; }
    bool Done() const { return State_ == TState::Closed || State_ == TState::Failed; }
    // One random call: a write of 1-3 words or a device read of up to five, or nothing.
    void Step();
    // Drops the connection without closing anything, a device read sent just before: its
    // answer finds no connection, and the session stays on the server until its time-out
    // (which may come while the read still waits for the PLC).
    void VanishAfterRead();
    // CloseSession (deleting the subscription), then the channel and the connection.
    void Close();
    std::size_t Outstanding() const override;
    // Also a subscription silent for too long is a fault.
    void CheckOverdue() override;

private:
    enum class TKind : std::uint8_t {
        CreateSession,
        Activate,
        Subscribe,
        Monitor,
        Publish,
        Write,
        Read,
        Close
    };
    struct TPending {
        TKind Kind = TKind::Read;
        std::uint32_t StartTick = 0;
        bool Overdue = false;
        std::vector<std::pair<int, std::uint16_t>> Writes; // ledger index, value
        std::vector<std::pair<int, std::uint32_t>> Reads;  // ledger index, floor
    };

    void Received();
    void Response(TPending pending, TUaBinaryReader& r);
    template <typename F> void Send(std::uint32_t typeId, TKind kind, F fill, TPending pending = {});
    void SendRaw(const std::string& bytes);
    void Publish();
    void DeviceRead();
    void Published(TUaBinaryReader& r);
    void Observe(int index, const TUaDataValue& value, std::optional<std::uint32_t> floor, bool notification);
    void Drop(TState state);
    void Fail(const std::string& why);

    std::uint16_t Port_;
    double PublishingMs_;
    double SessionTimeoutMs_;
    std::unique_ptr<QTcpSocket> Socket_;
    std::string Buffer_;
    std::map<std::uint32_t, std::string> Partial_; // chunks of a response, by request id
    TState State_ = TState::Connecting;
    std::uint32_t ChannelId_ = 0;
    std::uint32_t Sequence_ = 0;
    std::uint32_t RequestId_ = 0;
    TUaNodeId AuthToken_;
    std::uint32_t Subscription_ = 0;
    std::uint32_t LastPublishTick_ = 0;
    bool PublishSilent_ = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Acks_; // subscription, sequence
    std::map<std::uint32_t, TPending> Pending_;                 // by request id
    // Floors of the own words when the last Publish answer came: the next one's values
    // were taken after the server sent that one.
    std::map<int, std::uint32_t> PublishFloors_;
};

} // namespace dravon::soak
