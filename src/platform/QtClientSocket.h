// The TCP client on QTcpSocket, unbuffered. Every event reaches the driver from the main
// loop (readyRead as it fires, the others queued), never from inside a call the driver
// makes, and none after the component is gone.
#pragma once

#include "comm/ClientSocket.h"
#include "platform/QtDeleteLater.h"

#include <QTcpSocket>

namespace dravon {

class TQtClientSocket : public TClientSocket {
public:
    TQtClientSocket();
    ~TQtClientSocket() override;

    bool Active() const override;
    void Open() override;
    void SetNoDelay(bool on) override;
    int SendBuf(const std::uint8_t* data, int length) override;
    int ReceiveBuf(std::uint8_t* buffer, int maxLength) override;

private:
    void Error(QAbstractSocket::SocketError error);

    TQtOwned<QTcpSocket> Socket_;
    bool NoDelay_ = false;
    bool Connecting_ = false;
};

} // namespace dravon
