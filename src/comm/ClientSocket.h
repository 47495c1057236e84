// The non-blocking TCP client a TCP driver talks to: address, port, open, send, receive
// and the five events. src/platform implements it with QTcpSocket; tests use a recording
// fake. Events run on the main loop, never inside a call the driver makes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dravon {

enum class TSocketErrorKind { General, Send, Receive, Connect, Disconnect, Accept };

class TClientSocket {
public:
    virtual ~TClientSocket() = default;

    // Dotted IPv4 text and port used by the next Open.
    std::string Address;
    int Port = 0;

    virtual bool Active() const = 0;
    // Starts connecting; the outcome arrives as OnConnect or OnError(Connect).
    virtual void Open() = 0;
    // TCP no-delay on the socket handle (level TCP, 4-byte true).
    virtual void SetNoDelay(bool on) = 0;
    // Bytes accepted for sending, or -1 when nothing could be sent.
    virtual int SendBuf(const std::uint8_t* data, int length) = 0;
    // Reads up to maxLength received bytes; returns how many.
    virtual int ReceiveBuf(std::uint8_t* buffer, int maxLength) = 0;

    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;
    std::function<void()> OnRead;
    std::function<void()> OnWrite;
    // The handler may set errorCode to 0 to say the error is dealt with.
    std::function<void(TSocketErrorKind kind, int& errorCode)> OnError;
};

} // namespace dravon
