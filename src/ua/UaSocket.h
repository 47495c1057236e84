// The TCP surface of the endpoint: a listening socket that hands over accepted
// connections, and the connection itself. src/platform implements them with Qt
// (TUaTcpListener); tests use in-memory pairs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace dravon {

class IUaSocket {
public:
    virtual ~IUaSocket() = default;
    // Queues bytes for sending; never blocks.
    virtual void Write(std::string_view bytes) = 0;
    // Bytes queued and not yet handed to the operating system.
    virtual std::size_t PendingBytes() const = 0;
    // Sends what is queued, then closes. No events are delivered after this call.
    virtual void Close() = 0;
    virtual std::string PeerAddress() const = 0;

    std::function<void(std::string_view)> OnReceived;
    std::function<void()> OnDisconnected;
};

class IUaListener {
public:
    virtual ~IUaListener() = default;
    // Port 0 picks a free port (see Port()). False when the address cannot be bound.
    virtual bool Listen(const std::string& address, std::uint16_t port) = 0;
    // Why the last Listen failed, in the system's words ("Address already in use").
    virtual std::string ErrorText() const { return {}; }
    virtual std::uint16_t Port() const = 0;
    virtual void Close() = 0;

    std::function<void(std::unique_ptr<IUaSocket>)> OnConnection;
};

} // namespace dravon
