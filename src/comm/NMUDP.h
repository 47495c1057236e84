// The UDP component a UDP driver talks to: remote host and port, the local port, sending
// and reading datagrams, and its events. src/platform implements it with QUdpSocket; tests
// use a recording fake. Events run on the main loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dravon {

class TNMUDP {
public:
    virtual ~TNMUDP() = default;

    // Dotted IPv4 text (an empty host sends nothing) and port of the peer.
    std::string RemoteHost;
    int RemotePort = 0;
    int ReportLevel = 0;

    // 0 lets the system choose. Several components may share one local port.
    virtual void SetLocalPort(int port) = 0;
    virtual int LocalPort() const = 0;

    // Sends one datagram to RemoteHost:RemotePort. A host that is not a valid address
    // raises OnInvalidHost instead.
    virtual void SendBuffer(const std::uint8_t* data, int length) = 0;
    // Reads the pending datagram (at most maxLength bytes); returns how many.
    virtual int ReadBuffer(std::uint8_t* buffer, int maxLength) = 0;

    // A datagram of count bytes from the dotted address `from` is waiting.
    std::function<void(int count, const std::string& from)> OnDataReceived;
    std::function<void(bool& handled)> OnInvalidHost;
    std::function<void(bool& handled)> OnStreamInvalid;
    std::function<void(bool& handled)> OnBufferInvalid;
    std::function<void(const std::string& status)> OnStatus;
};

} // namespace dravon
