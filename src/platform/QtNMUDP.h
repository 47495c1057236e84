// The UDP component on QUdpSocket. The socket is bound to the local port when the port is
// set (shared, so that several drivers may use the same local port); each received
// datagram is taken off the socket and offered to OnDataReceived through the main loop.
#pragma once

#include "comm/NMUDP.h"
#include "platform/QtDeleteLater.h"

#include <QByteArray>
#include <QUdpSocket>

namespace dravon {

class TQtNMUDP : public TNMUDP {
public:
    TQtNMUDP();
    ~TQtNMUDP() override;

    void SetLocalPort(int port) override;
    int LocalPort() const override;
    void SendBuffer(const std::uint8_t* data, int length) override;
    int ReadBuffer(std::uint8_t* buffer, int maxLength) override;

private:
    void Bind();
    void Status(const std::string& text);

    TQtOwned<QUdpSocket> Socket_;
    int LocalPort_ = 0;
    bool Bound_ = false;
    QByteArray Current_;
};

} // namespace dravon
