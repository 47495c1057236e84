// The endpoint's TCP surface on Qt: QTcpServer for listening, QTcpSocket per connection.
// Sockets are released with deleteLater, because the endpoint may close a connection
// from inside that connection's own receive handler.
#pragma once

#include "platform/QtDeleteLater.h"
#include "ua/UaSocket.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace dravon {

class TUaTcpSocket : public IUaSocket {
public:
    explicit TUaTcpSocket(QTcpSocket* socket);
    ~TUaTcpSocket() override;
    void Write(std::string_view bytes) override;
    std::size_t PendingBytes() const override;
    void Close() override;
    std::string PeerAddress() const override;

private:
    TQtOwned<QTcpSocket> Socket_;
    bool Closed_ = false;
};

class TUaTcpListener : public IUaListener {
public:
    TUaTcpListener();
    ~TUaTcpListener() override;
    bool Listen(const std::string& address, std::uint16_t port) override;
    std::uint16_t Port() const override;
    void Close() override;
    std::string ErrorText() const override { return ErrorText_; }

private:
    TQtOwned<QTcpServer> Server_;
    std::string ErrorText_;
};

} // namespace dravon
