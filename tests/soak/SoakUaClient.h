// One OPC UA client of the soak over a real loopback socket, driven by the same event loop
// as everything else and never waiting: Hello, OpenSecureChannel, CreateSession,
// ActivateSession, a subscription with monitored items on soak words, then Publish
// requests kept in flight while Step sends writes and device reads (maxAge 0). Every
// answer is checked against the ledger; a Good write result counts as a confirmed write.
#pragma once

#include "SoakClient.h"
#include "UaTestClient.h"

#include <QTcpSocket>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravon::soak {

// A connection whose frames the UA unit tests' client builds: what it hands its in-memory
// socket goes out on a real one, and what comes back is cut into frames.
struct TUaWire {
    std::unique_ptr<QTcpSocket> Socket = std::make_unique<QTcpSocket>();
    std::unique_ptr<test::TFakeUaSocket> Fake;
    test::TRawUaClient Raw{[this](std::unique_ptr<test::TFakeUaSocket> s) { Fake = std::move(s); }};
    std::string Buffer;
    TUaWire() {
        Fake->OnReceived = [this](std::string_view b) {
            Socket->write(b.data(), static_cast<qint64>(b.size()));
        };
    }
    std::vector<test::TFrame> Frames() {
        Buffer += Socket->readAll().toStdString();
        return test::TakeFrames(Buffer);
    }
};

class TSoakUaClient : public TSoakClientBase {
public:
    enum class TState : std::uint8_t { Connecting, Ready, Closing, Closed, Failed };

    // monitored: ledger indexes watched by the subscription and read from the device;
    // writable: the ones this client writes (no other client may write them, so that the
    // order of answers is the order the server stored the values in).
    TSoakUaClient(TSoakEnv& env, std::string name, std::uint16_t port, std::vector<int> monitored,
                  std::vector<int> writable, double publishingMs, double sessionTimeoutMs);
    ~TSoakUaClient() override { Drop(State_); }

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
    // Also a subscription silent for too long is a fault.
    void CheckOverdue() override;

private:
    enum TKind : std::uint8_t { Creating, Activating, Subscribing, Monitoring, Writing, Reading, Closing };

    void Received();
    void Response(TPending pending, TUaBinaryReader& r);
    // Sends the request `send` makes with the wire's client, waiting as kind.
    template <typename F> TPending& Send(int kind, F send, const std::vector<int>& read = {});
    void Publish();
    void DeviceRead();
    void Published(TUaBinaryReader& r);
    void Observe(int index, const TUaDataValue& value, std::optional<std::uint32_t> floor, bool notification);
    void Drop(TState state);
    void Fail(const std::string& why);

    std::uint16_t Port_;
    double PublishingMs_;
    double SessionTimeoutMs_;
    std::unique_ptr<TUaWire> Wire_;
    std::map<std::uint32_t, std::string> Partial_; // chunks of a response, by request id
    TState State_ = TState::Connecting;
    std::uint32_t Subscription_ = 0;
    std::uint32_t LastPublishTick_ = 0;
    bool PublishSilent_ = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Acks_; // subscription, sequence
    // Floors of the own words when the last Publish answer came: the next one's values
    // were taken after the server sent that one.
    std::map<int, std::uint32_t> PublishFloors_;
};

} // namespace dravon::soak
