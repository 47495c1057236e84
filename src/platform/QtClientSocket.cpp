#include "platform/QtClientSocket.h"

#include <QHostAddress>

namespace dravon {

TQtClientSocket::TQtClientSocket() : Socket_(new QTcpSocket) {
    QTcpSocket* socket = Socket_.get();
    QObject::connect(
        socket, &QTcpSocket::connected, socket,
        [this] {
            Connecting_ = false;
            if (NoDelay_) Socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            if (OnConnect) OnConnect();
            // A fresh connection can send, as the write event of a socket says.
            if (OnWrite) OnWrite();
        },
        Qt::QueuedConnection);
    QObject::connect(
        socket, &QTcpSocket::disconnected, socket,
        [this] {
            if (OnDisconnect) OnDisconnect();
        },
        Qt::QueuedConnection);
    // Handled as it fires: readyRead only comes from the socket's notifier in the main loop
    // (never from inside a call of ours), and a queued hop cost a loop iteration per answer.
    // Unbuffered, the read notifier stays off after readyRead until the socket is read, so
    // the handler always reads (an empty read is harmless).
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] {
        if (OnRead) OnRead();
    });
    QObject::connect(
        socket, &QTcpSocket::errorOccurred, socket,
        [this](QAbstractSocket::SocketError error) { Error(error); }, Qt::QueuedConnection);
}

TQtClientSocket::~TQtClientSocket() {
    // The abort below signals a disconnection; nobody is left to hear it.
    Socket_->disconnect();
    Socket_->abort();
}

void TQtClientSocket::Error(QAbstractSocket::SocketError error) {
    TSocketErrorKind kind = TSocketErrorKind::General;
    if (Connecting_) {
        kind = TSocketErrorKind::Connect;
        Connecting_ = false;
    } else if (error == QAbstractSocket::RemoteHostClosedError) {
        kind = TSocketErrorKind::Disconnect;
    } else if (error == QAbstractSocket::NetworkError || error == QAbstractSocket::SocketResourceError) {
        kind = TSocketErrorKind::Send;
    }
    int code = static_cast<int>(error);
    if (OnError) OnError(kind, code);
}

bool TQtClientSocket::Active() const { return Socket_->state() == QAbstractSocket::ConnectedState; }

void TQtClientSocket::Open() {
    // Unbuffered: a send goes to the socket at once and a read comes from it, without Qt's
    // buffers and the write-notifier round trip they need.
    constexpr QIODevice::OpenMode Mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (Socket_->state() != QAbstractSocket::UnconnectedState) Socket_->abort();
    QHostAddress address;
    Connecting_ = true;
    if (!address.setAddress(QString::fromStdString(Address))) {
        // No address: the attempt fails like an unreachable host, through the loop.
        Socket_->connectToHost(QHostAddress(QHostAddress::Null), static_cast<quint16>(Port), Mode);
        return;
    }
    Socket_->connectToHost(address, static_cast<quint16>(Port), Mode);
}

void TQtClientSocket::SetNoDelay(bool on) {
    NoDelay_ = on;
    if (Active()) Socket_->setSocketOption(QAbstractSocket::LowDelayOption, on ? 1 : 0);
}

int TQtClientSocket::SendBuf(const std::uint8_t* data, int length) {
    if (!Active() || length < 0) return -1;
    auto n = Socket_->write(reinterpret_cast<const char*>(data), length);
    if (n < 0) return -1;
    Socket_->flush();
    return static_cast<int>(n);
}

int TQtClientSocket::ReceiveBuf(std::uint8_t* buffer, int maxLength) {
    if (maxLength <= 0) return 0;
    auto n = Socket_->read(reinterpret_cast<char*>(buffer), maxLength);
    return n < 0 ? 0 : static_cast<int>(n);
}

} // namespace dravon
