#include "platform/QtNMUDP.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QNetworkDatagram>

namespace dravon {

TQtNMUDP::TQtNMUDP() : Socket_(new QUdpSocket) {
    QUdpSocket* socket = Socket_.get();
    QObject::connect(
        socket, &QUdpSocket::readyRead, socket,
        [this] {
            while (Socket_->hasPendingDatagrams()) {
                QNetworkDatagram datagram = Socket_->receiveDatagram();
                Current_ = datagram.data();
                QHostAddress sender = datagram.senderAddress();
                bool isV4 = false;
                quint32 v4 = sender.toIPv4Address(&isV4);
                std::string from =
                    isV4 ? QHostAddress(v4).toString().toStdString() : sender.toString().toStdString();
                if (OnDataReceived) OnDataReceived(static_cast<int>(Current_.size()), from);
                Current_.clear();
            }
        },
        // Direct: the signal comes from the socket notifier of the main loop, never from
        // a call the driver makes. A queued readyRead can arrive a second time with nothing
        // to read, and an unbuffered socket then never reports datagrams again.
        Qt::DirectConnection);
}

TQtNMUDP::~TQtNMUDP() { Socket_->abort(); }

void TQtNMUDP::Status(const std::string& text) {
    if (ReportLevel > 0 && OnStatus) OnStatus(text);
}

void TQtNMUDP::Bind() {
    if (Socket_->state() != QAbstractSocket::UnconnectedState) Socket_->abort();
    Bound_ = Socket_->bind(QHostAddress(QHostAddress::AnyIPv4), static_cast<quint16>(LocalPort_),
                           QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    if (!Bound_)
        Status("bind to local port " + std::to_string(LocalPort_) +
               " failed: " + Socket_->errorString().toStdString());
}

void TQtNMUDP::SetLocalPort(int port) {
    LocalPort_ = port;
    // Port 0 on a component being freed releases the shared port at once.
    if (port == 0 && Bound_) {
        Socket_->abort();
        Bound_ = false;
        return;
    }
    Bind();
}

int TQtNMUDP::LocalPort() const { return Bound_ ? Socket_->localPort() : LocalPort_; }

void TQtNMUDP::SendBuffer(const std::uint8_t* data, int length) {
    if (RemoteHost.empty() || length <= 0) return;
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(RemoteHost)) ||
        address.protocol() != QAbstractSocket::IPv4Protocol) {
        // Reported through the loop, as the component would after its own lookup failed.
        QMetaObject::invokeMethod(
            Socket_.get(),
            [this] {
                bool handled = false;
                if (OnInvalidHost) OnInvalidHost(handled);
            },
            Qt::QueuedConnection);
        return;
    }
    if (!Bound_) Bind();
    auto sent = Socket_->writeDatagram(reinterpret_cast<const char*>(data), length, address,
                                       static_cast<quint16>(RemotePort));
    if (sent < 0) Status("send failed: " + Socket_->errorString().toStdString());
}

int TQtNMUDP::ReadBuffer(std::uint8_t* buffer, int maxLength) {
    int n = std::min<int>(maxLength, static_cast<int>(Current_.size()));
    if (n <= 0) return 0;
    std::copy_n(reinterpret_cast<const std::uint8_t*>(Current_.constData()), n, buffer);
    Current_.clear();
    return n;
}

} // namespace dravon
