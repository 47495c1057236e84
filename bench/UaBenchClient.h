// What the end-to-end OPC UA benchmarks share: a blocking opc.tcp client (security None, or
// a secured policy and mode built from the endpoint's chunk functions), the real dravon
// program started in a temporary home with its certificate and the client's already in
// place, and the server's CPU time and memory from /proc.
#pragma once

#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaMessages.h"
#include "ua/UaNodeIds.h"
#include "ua/security/UaCertificate.h"
#include "ua/security/UaSecureChunk.h"
#include "unit/app/TempDir.h"
#include "unit/ua/UaTestClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace dravon::bench {

// utime + stime of a process in seconds.
inline double CpuSeconds(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
        if (i == 15) break;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Resident memory of a process in MB.
inline double RssMegabytes(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

inline int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The two ends' certificates: the server's placed in its pki folder, the client's in the
// server's trusted folder.
struct TBenchSecurity {
    const TUaSecurityPolicy* Policy = &UaSecurityPolicyNone();
    TUaSecurityMode Mode = TUaSecurityMode::None;
    TUaKey ClientKey = TUaKey::Generate(2048);
    TUaKey ServerKey = TUaKey::Generate(2048);
    TUaCertificate ClientCert = Make(ClientKey, "urn:bench:client");
    TUaCertificate ServerCert = Make(ServerKey, "urn:bench:server");

    // "None", or a policy name for SignAndEncrypt (a ":Sign" suffix for Sign); null when unknown.
    static std::optional<TBenchSecurity> Named(const std::string& text) {
        TBenchSecurity s;
        std::string name = text.substr(0, text.find(':'));
        s.Policy = FindUaSecurityPolicy(name, true);
        if (!s.Policy) return std::nullopt;
        s.Mode = s.Policy->IsNone()                                     ? TUaSecurityMode::None
                 : text.size() > name.size() && text.ends_with(":Sign") ? TUaSecurityMode::Sign
                                                                        : TUaSecurityMode::SignAndEncrypt;
        return s;
    }
    bool Secured() const { return Mode != TUaSecurityMode::None; }
    std::string Describe() const {
        return Secured()
                   ? std::string(Policy->Name) + (Mode == TUaSecurityMode::Sign ? " Sign" : " SignAndEncrypt")
                   : "security None";
    }

    // Places the certificates under home/pki.
    void Place(const QString& home) const {
        const std::string pki = home.toStdString() + "/pki/";
        for (const char* folder : {"own/certs", "own/private", "trusted/certs"})
            QDir().mkpath(QString::fromStdString(pki + folder));
        test::WriteFile(pki + "own/certs/Dravon.der", ServerCert.Der());
        test::WriteFile(pki + "own/private/Dravon.pem", ServerKey.PrivatePem());
        QFile::setPermissions(QString::fromStdString(pki + "own/private/Dravon.pem"),
                              QFile::ReadOwner | QFile::WriteOwner);
        test::WriteFile(pki + "trusted/certs/bench.der", ClientCert.Der());
    }

private:
    static TUaCertificate Make(const TUaKey& key, const char* uri) {
        return *TUaCertificate::CreateSelfSigned(
            key, {uri, "localhost", "Bench", "", std::time(nullptr) - 86400, 30});
    }
};

// A blocking opc.tcp client over a socket, for setup; Receive() for the publish phase.
class TBenchClient {
public:
    explicit TBenchClient(const TBenchSecurity& security) : Security_(security) {}

    bool Connect(int port) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            Socket_.connectToHost("127.0.0.1", static_cast<quint16>(port));
            if (Socket_.waitForConnected(200)) break;
            Socket_.abort();
            QThread::msleep(100);
        }
        if (Socket_.state() != QAbstractSocket::ConnectedState) return false;
        Write(test::HelloFrame(1 << 20, 1 << 20, 0, 0));
        const std::string clientNonce(Security_.Policy->NonceLength, 'c');
        if (Security_.Secured()) {
            TUaBinaryWriter w;
            w.UInt32(Sequence_);
            w.UInt32(RequestId_);
            w.NodeId(TUaNodeId::Num(UaId::OpenSecureChannelRequest));
            WriteRequestHeader(w, {});
            w.UInt32(0);
            w.UInt32(0);
            w.UInt32(static_cast<std::uint32_t>(Security_.Mode));
            w.ByteString(clientNonce);
            w.UInt32(600000);
            Write(SecureUaAsymmetricChunk(*Security_.Policy, "OPN", 'F', 0, Security_.ClientKey,
                                          Security_.ClientCert.Der(), Security_.ServerCert.PublicKey(),
                                          Security_.ServerCert.Thumbprint(), w.Bytes()));
        } else {
            Write(test::OpenFrame(0, 1, 1));
        }
        std::vector<test::TFrame> frames;
        while (frames.size() < 2 && Socket_.waitForReadyRead(5000)) Append(frames);
        if (frames.size() < 2 || frames[1].Type != "OPNF") return false;
        if (!Security_.Secured()) {
            TUaBinaryReader r(frames[1].Body);
            ChannelId_ = r.UInt32();
            return true;
        }
        const std::string chunk = Chunk(frames[1]);
        auto header = ReadUaAsymmetricHeader(chunk);
        if (!header) return false;
        auto opened = OpenUaAsymmetricChunk(*Security_.Policy, *header, chunk, Security_.ClientKey,
                                            Security_.ServerCert.PublicKey());
        if (opened.Status != 0) return false;
        TUaBinaryReader r(opened.Plain);
        r.UInt32();
        r.UInt32();
        test::ReadResponseStart(r);
        r.UInt32();
        ChannelId_ = r.UInt32();
        TokenId_ = r.UInt32();
        r.DateTime();
        r.UInt32();
        Keys_ = DeriveUaChannelKeys(*Security_.Policy, clientNonce, r.ByteString());
        return r.Ok();
    }

    template <typename F> void Send(std::uint32_t typeId, F fill) {
        ++Sequence_;
        ++RequestId_;
        std::string body = test::RequestBody(typeId, Auth_, RequestId_, fill);
        if (!Security_.Secured()) {
            Write(test::MessageFrame("MSGF", ChannelId_, TokenId_, Sequence_, RequestId_, body));
            return;
        }
        TUaBinaryWriter plain;
        plain.UInt32(Sequence_);
        plain.UInt32(RequestId_);
        plain.Bytes() += body;
        Write(SecureUaSymmetricChunk(*Security_.Policy, Security_.Mode, Keys_.Client, "MSG", 'F', ChannelId_,
                                     TokenId_, plain.Bytes()));
    }
    // Sends a request and waits for its response payload.
    template <typename F> std::string Call(std::uint32_t typeId, F fill) {
        Send(typeId, fill);
        const std::uint32_t id = RequestId_;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000 && Socket_.state() == QAbstractSocket::ConnectedState) {
            for (auto& [requestId, payload] : Receive(100))
                if (requestId == id) return payload;
        }
        return {};
    }
    // Complete responses (request id, payload) received within the wait.
    std::vector<std::pair<std::uint32_t, std::string>> Receive(int waitMs) {
        std::vector<std::pair<std::uint32_t, std::string>> out;
        if (Socket_.bytesAvailable() == 0) Socket_.waitForReadyRead(waitMs);
        std::vector<test::TFrame> frames;
        Append(frames);
        for (const auto& f : frames) {
            if (f.Type != "MSGF" && f.Type != "MSGC") continue;
            // Sequence header and body.
            std::string plain = f.Body.substr(8);
            if (Security_.Secured()) {
                auto opened = OpenUaSymmetricChunk(*Security_.Policy, Security_.Mode, Keys_.Server, Chunk(f));
                if (opened.Status != 0) continue;
                plain = std::move(opened.Plain);
            }
            TUaBinaryReader r(plain);
            r.UInt32();
            const std::uint32_t requestId = r.UInt32();
            Partial_[requestId] += plain.substr(8);
            if (f.Type == "MSGF") {
                out.emplace_back(requestId, std::move(Partial_[requestId]));
                Partial_.erase(requestId);
            }
        }
        return out;
    }

    // CreateSession and an anonymous ActivateSession (signed by the client's key when secured).
    bool OpenSession(const char* name) {
        const bool secured = Security_.Secured();
        std::string created = Call(UaId::CreateSessionRequest, [&](TUaBinaryWriter& w) {
            TUaApplicationDescription client;
            client.ApplicationUri = "urn:bench:client";
            client.ApplicationType = 1;
            WriteApplicationDescription(w, client);
            w.Int32(-1);
            w.String("opc.tcp://127.0.0.1");
            w.String(name);
            w.ByteString(std::string(32, 'n'));
            if (secured)
                w.ByteString(Security_.ClientCert.Der());
            else
                w.Int32(-1);
            w.Double(60000);
            w.UInt32(0);
        });
        TUaBinaryReader cr(created);
        if (created.empty() || test::ReadResponseStart(cr).ServiceResult != 0) return false;
        cr.NodeId();
        Auth_ = cr.NodeId();
        cr.Double();
        const std::string serverNonce = cr.ByteString();
        std::string signature;
        if (secured) {
            auto s = Security_.ClientKey.Sign(Security_.Policy->AsymmetricSignature,
                                              Security_.ServerCert.Der() + serverNonce);
            if (!s) return false;
            signature = *s;
        }
        std::string activated = Call(UaId::ActivateSessionRequest, [&](TUaBinaryWriter& w) {
            if (secured) {
                w.String(Security_.Policy->AsymmetricSignatureUri);
                w.ByteString(signature);
            } else {
                w.Int32(-1);
                w.Int32(-1);
            }
            w.EmptyArray();
            w.EmptyArray();
            TUaBinaryWriter token;
            token.String("anonymous");
            w.ExtensionObject({TUaNodeId::Num(UaId::AnonymousIdentityToken), 1, token.Take()});
            w.Int32(-1);
            w.Int32(-1);
        });
        TUaBinaryReader ar(activated);
        return !activated.empty() && test::ReadResponseStart(ar).ServiceResult == 0;
    }

    bool CloseSession() {
        std::string closed = Call(UaId::CloseSessionRequest, [](TUaBinaryWriter& w) { w.Boolean(true); });
        TUaBinaryReader r(closed);
        return !closed.empty() && test::ReadResponseStart(r).ServiceResult == 0;
    }
    void Disconnect() {
        Socket_.disconnectFromHost();
        if (Socket_.state() != QAbstractSocket::UnconnectedState) Socket_.waitForDisconnected(1000);
    }

private:
    static std::string Chunk(const test::TFrame& f) {
        TUaBinaryWriter w;
        w.Bytes() = f.Type;
        w.UInt32(static_cast<std::uint32_t>(8 + f.Body.size()));
        w.Bytes() += f.Body;
        return w.Take();
    }
    void Write(const std::string& bytes) {
        Socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        Socket_.flush();
    }
    void Append(std::vector<test::TFrame>& frames) {
        const QByteArray data = Socket_.readAll();
        Buffer_.append(data.constData(), static_cast<std::size_t>(data.size()));
        for (auto& f : test::TakeFrames(Buffer_)) frames.push_back(std::move(f));
    }

    const TBenchSecurity& Security_;
    QTcpSocket Socket_;
    std::string Buffer_;
    std::map<std::uint32_t, std::string> Partial_;
    std::uint32_t ChannelId_ = 0;
    std::uint32_t TokenId_ = 1;
    std::uint32_t Sequence_ = 1;
    std::uint32_t RequestId_ = 1;
    TUaChannelKeys Keys_;
    TUaNodeId Auth_;
};

// The dravon program in a temporary home (its store text given), certificates in place.
class TBenchServer {
public:
    bool Start(const QString& program, const std::string& storeText, const TBenchSecurity& security) {
        QFile store(Home_.path() + "/machine.store");
        store.open(QIODevice::WriteOnly);
        store.write(QByteArray::fromStdString(storeText));
        store.close();
        security.Place(Home_.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DRAVON_HOME", Home_.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        Process_.setProcessEnvironment(env);
        Process_.setStandardOutputFile(QProcess::nullDevice());
        Process_.start(program, {});
        if (Process_.waitForStarted(10000)) return true;
        std::fprintf(stderr, "dravon did not start (%s)\n", program.toLocal8Bit().constData());
        return false;
    }
    ~TBenchServer() {
        Process_.terminate();
        Process_.waitForFinished(10000);
    }
    qint64 Pid() const { return Process_.processId(); }

private:
    QTemporaryDir Home_;
    QProcess Process_;
};

inline std::string StoreKey(const std::string& path) {
    std::string escaped;
    for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "key HKEY_LOCAL_MACHINE \"" + escaped + "\"\n";
}

} // namespace dravon::bench
