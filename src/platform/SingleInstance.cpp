#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>

namespace dravon {

namespace {

QString ServerNameFor(const std::string& scope) {
    return QString::fromLatin1(TSingleInstance::LockName) + '-' + QString::fromStdString(scope);
}

bool ReadExactly(QLocalSocket& socket, qint64 size, QByteArray& into, const QDeadlineTimer& deadline) {
    while (into.size() < size) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            return false;
        into += socket.read(size - into.size());
    }
    return true;
}

bool WriteAll(QLocalSocket& socket, const std::string& bytes, const QDeadlineTimer& deadline) {
    if (socket.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()))
        return false;
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))) ||
            deadline.hasExpired())
            return socket.bytesToWrite() == 0;
    return true;
}

} // namespace

TSingleInstance::TSingleInstance(const std::string& scope, const std::string& directory)
    : Directory_(directory.empty() ? QDir::tempPath() : QString::fromStdString(directory)),
      ServerName_(Directory_ + '/' + ServerNameFor(scope)), Lock_(ServerName_ + ".lock") {
    Lock_.setStaleLockTime(0); // only a dead owner makes the lock stale, never its age
}

TSingleInstance::~TSingleInstance() {
    Server_.close();
    // Sockets are children of the server; the readers only point at them.
    Readers_.clear();
}

bool TSingleInstance::Acquire() {
    if (!Lock_.tryLock(0)) {
        // Without a lock file we cannot tell: run, as a start without the check would.
        if (Lock_.error() != QLockFile::LockFailedError) return true;
        return false;
    }
    QLocalServer::removeServer(ServerName_); // a socket left by a crashed server
    Server_.setSocketOptions(QLocalServer::UserAccessOption);
    Server_.setMaxPendingConnections(MaxConnections);
    Server_.listen(ServerName_);
    QObject::connect(&Server_, &QLocalServer::newConnection, [this] { Accept(); });
    return true;
}

void TSingleInstance::Accept() {
    while (QLocalSocket* socket = Server_.nextPendingConnection()) {
        if (static_cast<int>(Readers_.size()) >= MaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        Readers_.emplace(socket, TInstanceMessageReader());
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] { Receive(socket); });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, [this, socket] {
            Readers_.erase(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0) Receive(socket);
    }
}

void TSingleInstance::Receive(QLocalSocket* socket) {
    auto it = Readers_.find(socket);
    if (it == Readers_.end()) return;
    TInstanceMessageReader& reader = it->second;
    const QByteArray bytes = socket->readAll();
    reader.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    for (const auto& message : reader.Take()) {
        if (message.Number == MsgInstancesAllowed) {
            const std::string reply = EncodeReply(0); // several instances are not allowed
            socket->write(reply.data(), static_cast<qint64>(reply.size()));
        } else if (message.Number == MsgCommandLinePiece) {
            std::string text;
            if (reader.AddPiece(message.Payload, text) && OnCommandLine) OnCommandLine(text);
        } else if (message.Number == MsgShowWindow) {
            if (OnShowRequest) OnShowRequest();
        } else if (message.Number == MsgStatus) {
            std::string text = OnStatusRequest ? OnStatusRequest() : std::string();
            text.resize(std::min(text.size(), MaxStatusText));
            const std::string reply = EncodeInstanceMessage(MsgStatus, text);
            socket->write(reply.data(), static_cast<qint64>(reply.size()));
        }
    }
    if (reader.Failed()) socket->abort(); // the disconnected handler frees it
}

THandOver TSingleInstance::HandOver(const std::vector<std::string>& arguments, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The running server may still be starting to listen: try again until the deadline.
    while (true) {
        socket.connectToServer(ServerName_);
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) break;
        if (deadline.hasExpired()) return THandOver::NoAnswer;
        QThread::msleep(50);
    }
    if (!WriteAll(socket, EncodeInstanceMessage(MsgInstancesAllowed, {}), deadline))
        return THandOver::NoAnswer;
    QByteArray reply;
    while (reply.size() < 4) {
        if (!socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            return THandOver::NoAnswer;
        reply += socket.read(4 - reply.size());
    }
    if (reply == QByteArray::fromStdString(EncodeReply(1))) return THandOver::InstancesAllowed;

    const std::string text = HandOverText(arguments, QDir::currentPath().toStdString());
    for (const auto& piece : HandOverPieces(text))
        if (!WriteAll(socket, EncodeInstanceMessage(MsgCommandLinePiece, piece), deadline))
            return THandOver::NoAnswer;
    if (!WriteAll(socket, EncodeInstanceMessage(MsgShowWindow, {}), deadline)) return THandOver::NoAnswer;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    return THandOver::Done;
}

TInstanceStart TSingleInstance::Start(const std::vector<std::string>& arguments, int attempts,
                                      int timeoutMs) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (Acquire()) return TInstanceStart::Run;
        switch (HandOver(arguments, timeoutMs)) {
        case THandOver::Done: return TInstanceStart::HandedOver;
        case THandOver::InstancesAllowed: return TInstanceStart::Run;
        case THandOver::NoAnswer: break;
        }
    }
    return TInstanceStart::NoAnswer;
}

bool TSingleInstance::QueryStatus(std::string& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(ServerName_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    if (!WriteAll(socket, EncodeInstanceMessage(MsgStatus, {}), deadline)) return false;
    QByteArray header;
    if (!ReadExactly(socket, 8, header, deadline)) return false;
    std::uint32_t number = 0, length = 0;
    for (int i = 0; i < 4; ++i) {
        number = number << 8 | static_cast<unsigned char>(header[i]);
        length = length << 8 | static_cast<unsigned char>(header[i + 4]);
    }
    if (number != MsgStatus || length > MaxStatusText) return false;
    QByteArray payload;
    if (!ReadExactly(socket, length, payload, deadline)) return false;
    text = payload.toStdString();
    return true;
}

} // namespace dravon
