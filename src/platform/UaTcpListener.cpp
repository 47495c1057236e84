#include "platform/UaTcpListener.h"

#include <QHostAddress>

#include <cerrno>
#include <cstring>

namespace dravon {

TUaTcpSocket::TUaTcpSocket(QTcpSocket* socket) : Socket_(socket) {
    Socket_->setParent(nullptr);
    Socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QObject::connect(Socket_.get(), &QTcpSocket::readyRead, [this] {
        while (!Closed_ && Socket_->bytesAvailable() > 0) {
            QByteArray data = Socket_->read(65536);
            if (data.isEmpty()) break;
            if (OnReceived)
                OnReceived(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
        }
    });
    QObject::connect(Socket_.get(), &QTcpSocket::disconnected, [this] {
        if (Closed_) return;
        Closed_ = true;
        if (OnDisconnected) OnDisconnected();
    });
}

TUaTcpSocket::~TUaTcpSocket() {
    if (!Closed_) {
        Closed_ = true;
        Socket_->disconnect();
        Socket_->disconnectFromHost();
    }
}

void TUaTcpSocket::Write(std::string_view bytes) {
    if (Closed_) return;
    Socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::size_t TUaTcpSocket::PendingBytes() const { return static_cast<std::size_t>(Socket_->bytesToWrite()); }

void TUaTcpSocket::Close() {
    if (Closed_) return;
    Closed_ = true;
    // No events after Close; disconnectFromHost still sends what is queued, but the socket
    // may be deleted before it gets the chance: hand what is queued (an Error message) over now.
    Socket_->disconnect();
    Socket_->flush();
    Socket_->disconnectFromHost();
}

std::string TUaTcpSocket::PeerAddress() const { return Socket_->peerAddress().toString().toStdString(); }

TUaTcpListener::TUaTcpListener() : Server_(new QTcpServer) {
    QObject::connect(Server_.get(), &QTcpServer::newConnection, [this] {
        while (QTcpSocket* socket = Server_->nextPendingConnection()) {
            auto wrapped = std::make_unique<TUaTcpSocket>(socket);
            if (OnConnection) OnConnection(std::move(wrapped));
        }
    });
}

TUaTcpListener::~TUaTcpListener() { Close(); }

bool TUaTcpListener::Listen(const std::string& address, std::uint16_t port) {
    QHostAddress host(QString::fromStdString(address));
    if (host.isNull()) {
        ErrorText_ = std::strerror(EADDRNOTAVAIL);
        return false;
    }
    if (Server_->listen(host, port)) {
        ErrorText_.clear();
        return true;
    }
    // The operator reads the system's words, as other programs report the same failure.
    switch (Server_->serverError()) {
    case QAbstractSocket::AddressInUseError: ErrorText_ = std::strerror(EADDRINUSE); break;
    case QAbstractSocket::SocketAccessError: ErrorText_ = std::strerror(EACCES); break;
    case QAbstractSocket::SocketAddressNotAvailableError: ErrorText_ = std::strerror(EADDRNOTAVAIL); break;
    default: ErrorText_ = Server_->errorString().toStdString(); break;
    }
    return false;
}

std::uint16_t TUaTcpListener::Port() const { return Server_->serverPort(); }

void TUaTcpListener::Close() {
    if (Server_->isListening()) Server_->close();
}

} // namespace dravon
