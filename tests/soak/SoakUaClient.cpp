#include "SoakUaClient.h"

#include "UaTestClient.h"

#include "app/Platform.h"
#include "ua/UaStatusCodes.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace dravon::soak {

namespace {

// Requests of one client waiting at a time, Publish requests not counted.
constexpr std::size_t MaxOutstanding = 6;
constexpr std::size_t PublishRequests = 3;
// The channel token outlives any run of an hour and more without renewal.
constexpr std::uint32_t TokenLifetimeMs = 3600000;
// Keep-alives come every 10 publishing intervals; far beyond that is a subscription that
// stopped.
constexpr std::uint32_t PublishSilenceMs = 30000;

void WriteValueId(TUaBinaryWriter& w, const std::string& itemId) {
    w.NodeId(TUaNodeId::Str(itemId));
    w.UInt32(13); // Value
    w.Int32(-1);
}

} // namespace

void WriteCreateSession(TUaBinaryWriter& w, const std::string& name, double timeoutMs) {
    WriteApplicationDescription(w, {});
    w.Int32(-1);
    w.String("opc.tcp://127.0.0.1");
    w.String(name);
    w.ByteString(std::string(32, 'n'));
    w.Int32(-1);
    w.Double(timeoutMs);
    w.UInt32(0);
}

void WriteActivateSession(TUaBinaryWriter& w, bool anonymousToken) {
    w.Int32(-1);
    w.Int32(-1);
    w.EmptyArray();
    w.EmptyArray();
    TUaBinaryWriter token;
    token.String("anonymous");
    w.ExtensionObject(anonymousToken
                          ? TUaExtensionObject{TUaNodeId::Num(UaId::AnonymousIdentityToken), 1, token.Take()}
                          : TUaExtensionObject{});
    w.Int32(-1);
    w.Int32(-1);
}

void WriteCreateSubscription(TUaBinaryWriter& w, double publishingMs, std::uint32_t lifetime,
                             std::uint32_t keepAlive) {
    w.Double(publishingMs);
    w.UInt32(lifetime);
    w.UInt32(keepAlive);
    w.UInt32(0);
    w.Boolean(true);
    w.Byte(0);
}

TSoakUaClient::TSoakUaClient(TSoakEnv& env, std::string name, std::uint16_t port, std::vector<int> monitored,
                             std::vector<int> writable, double publishingMs, double sessionTimeoutMs)
    : TSoakClientBase(env, std::move(name), std::move(monitored), std::move(writable)), Port_(port),
      PublishingMs_(publishingMs), SessionTimeoutMs_(sessionTimeoutMs) {}

TSoakUaClient::~TSoakUaClient() { Drop(State_); }

void TSoakUaClient::Drop(TState state) {
    if (Socket_) {
        Socket_->disconnect();
        Socket_->abort();
    }
    Pending_.clear();
    State_ = state;
}

void TSoakUaClient::Fail(const std::string& why) {
    if (State_ == TState::Failed) return;
    Fault(why);
    Drop(TState::Failed);
}

void TSoakUaClient::Connect() {
    Socket_ = std::make_unique<QTcpSocket>();
    QTcpSocket* socket = Socket_.get();
    QObject::connect(socket, &QTcpSocket::connected, socket, [this] { SendRaw(test::HelloFrame()); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { Received(); });
    auto gone = [this](const std::string& why) {
        if (State_ == TState::Closing)
            State_ = TState::Closed;
        else if (State_ != TState::Closed)
            Fail(why);
    };
    QObject::connect(socket, &QTcpSocket::disconnected, socket,
                     [gone] { gone("the server closed the connection"); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this, gone](QAbstractSocket::SocketError) {
        gone("socket error: " + Socket_->errorString().toStdString());
    });
    socket->connectToHost(QHostAddress::LocalHost, Port_);
}

void TSoakUaClient::SendRaw(const std::string& bytes) {
    if (Socket_) Socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
}

template <typename F> void TSoakUaClient::Send(std::uint32_t typeId, TKind kind, F fill, TPending pending) {
    const std::uint32_t requestId = ++RequestId_;
    pending.Kind = kind;
    pending.StartTick = Env_.Clock->TickCount();
    Pending_[requestId] = std::move(pending);
    SendRaw(test::MessageFrame("MSGF", ChannelId_, 1, ++Sequence_, requestId,
                               test::RequestBody(typeId, AuthToken_, requestId, fill)));
}

void TSoakUaClient::Received() {
    Buffer_ += Socket_->readAll().toStdString();
    for (const test::TFrame& f : test::TakeFrames(Buffer_)) {
        if (State_ == TState::Failed) return;
        TUaBinaryReader r(f.Body);
        if (f.Type == "ACKF") {
            SendRaw(test::OpenFrame(0, ++Sequence_, ++RequestId_, 0, 1,
                                    "http://opcfoundation.org/UA/SecurityPolicy#None", TokenLifetimeMs));
        } else if (f.Type == "ERRF") {
            const TUaStatusCode code = r.StatusCode();
            Fail("Error message " + Hex(code, 8) + " " + r.String());
        } else if (f.Type == "OPNF") {
            ChannelId_ = r.UInt32();
            Send(UaId::CreateSessionRequest, TKind::CreateSession,
                 [&](TUaBinaryWriter& w) { WriteCreateSession(w, Name_, SessionTimeoutMs_); });
        } else if (f.Type.starts_with("MSG") && f.Body.size() >= 16) {
            r.UInt32();
            r.UInt32();
            r.UInt32();
            const std::uint32_t requestId = r.UInt32();
            std::string& partial = Partial_[requestId];
            partial.append(f.Body, 16);
            if (f.Type == "MSGC") continue;
            std::string payload = std::move(partial);
            Partial_.erase(requestId);
            if (f.Type != "MSGF")
                return Fail("the server aborted the answer to request " + std::to_string(requestId));
            auto it = Pending_.find(requestId);
            if (it == Pending_.end())
                return Fail("an answer to unknown request " + std::to_string(requestId));
            TPending pending = std::move(it->second);
            Pending_.erase(it);
            TUaBinaryReader body(payload);
            const test::TResponseStart start = test::ReadResponseStart(body);
            // Publish requests still queued when the session closes are answered with a fault.
            if (start.TypeId == UaId::ServiceFault || start.ServiceResult != 0) {
                if (State_ != TState::Closing || pending.Kind != TKind::Publish)
                    Fail("request " + std::to_string(requestId) + " answered " + Hex(start.ServiceResult, 8));
            } else {
                Response(std::move(pending), body);
            }
        } else {
            Fail("unexpected frame " + f.Type);
        }
    }
}

void TSoakUaClient::Response(TPending pending, TUaBinaryReader& r) {
    switch (pending.Kind) {
    case TKind::CreateSession:
        r.NodeId();
        AuthToken_ = r.NodeId();
        Send(UaId::ActivateSessionRequest, TKind::Activate,
             [](TUaBinaryWriter& w) { WriteActivateSession(w, true); });
        return;
    case TKind::Activate:
        Send(UaId::CreateSubscriptionRequest, TKind::Subscribe,
             [&](TUaBinaryWriter& w) { WriteCreateSubscription(w, PublishingMs_, 120, 10); });
        return;
    case TKind::Subscribe:
        Subscription_ = r.UInt32();
        Send(UaId::CreateMonitoredItemsRequest, TKind::Monitor, [&](TUaBinaryWriter& w) {
            w.UInt32(Subscription_);
            w.UInt32(0); // source timestamps
            w.Array(Items_, [&](int index) {
                WriteValueId(w, Env_.Ledger->ItemId(index));
                w.QualifiedName({});
                w.UInt32(2); // reporting
                w.UInt32(static_cast<std::uint32_t>(index));
                w.Double(PublishingMs_);
                w.ExtensionObject({});
                w.UInt32(1);
                w.Boolean(true);
            });
        });
        return;
    case TKind::Monitor: {
        const auto results = r.Array([&] {
            const TUaStatusCode s = r.StatusCode();
            r.UInt32();
            r.Double();
            r.UInt32();
            r.ExtensionObject();
            return s;
        });
        if (!r.Ok() || results != std::vector<TUaStatusCode>(Items_.size(), 0))
            return Fail("monitored items refused or the answer malformed");
        State_ = TState::Ready;
        LastPublishTick_ = Env_.Clock->TickCount();
        for (std::size_t i = 0; i < PublishRequests; ++i) Publish();
        return;
    }
    case TKind::Publish:
        Published(r);
        if (State_ == TState::Ready) Publish();
        return;
    case TKind::Write: {
        const auto results = r.Array([&] { return r.StatusCode(); });
        if (!r.Ok() || results.size() != pending.Writes.size()) return Fail("Write answer malformed");
        for (std::size_t i = 0; i < results.size(); ++i) {
            const auto [index, value] = pending.Writes[i];
            if (results[i] == 0) {
                ++Env_.Counters->UaWritesGood; // the PLC confirmed the value
                ++Activity.Writes;
                Env_.Ledger->Confirmed(index, value);
                continue;
            }
            // The server dropped the value. A fault phase: the PLC did not answer, or
            // answered with an error status; anything else is a fault of the run.
            ++Env_.Counters->UaWriteErrors;
            Env_.Ledger->Refused(index, value);
            if (results[i] != UaStatus::BadNoCommunication && results[i] != UaStatus::BadTimeout &&
                results[i] != UaStatus::BadNotWritable)
                Fault("writing " + Env_.Ledger->ItemId(index) + " answered " + Hex(results[i], 8));
        }
        return;
    }
    case TKind::Read: {
        const std::uint32_t took = Elapsed(pending.StartTick);
        Env_.Counters->SlowestUaReadMs = std::max(Env_.Counters->SlowestUaReadMs, took);
        if (took > Env_.SyncReadBoundMs && !pending.Overdue)
            Fault("a device read was answered after " + std::to_string(took) + " ms");
        const auto values = r.Array([&] { return r.DataValue(); });
        if (!r.Ok() || values.size() != pending.Reads.size()) return Fail("Read answer malformed");
        for (std::size_t i = 0; i < values.size(); ++i)
            Observe(pending.Reads[i].first, values[i], pending.Reads[i].second, false);
        Env_.Counters->UaReadValues += values.size();
        return;
    }
    case TKind::Close:
        State_ = TState::Closing;
        SendRaw(test::MessageFrame("CLOF", ChannelId_, 1, ++Sequence_, ++RequestId_,
                                   test::RequestBody(UaId::CloseSecureChannelRequest, {}, 0, [](auto&) {})));
        Socket_->disconnectFromHost();
        return;
    }
}

void TSoakUaClient::Observe(int index, const TUaDataValue& value, std::optional<std::uint32_t> floor,
                            bool notification) {
    const TUaStatusCode status = value.Status.value_or(0);
    const bool scalar = value.Value && !value.Value->IsArray && value.Value->Values.size() == 1 &&
                        value.Value->Type == TUaType::UInt16 &&
                        std::holds_alternative<std::uint64_t>(value.Value->Values[0]);
    const auto number =
        scalar ? static_cast<std::uint16_t>(std::get<std::uint64_t>(value.Value->Values[0])) : 0;
    if (notification) Notified(index, status == 0, status, number);
    if (status & 0x80000000u) return; // Bad; Good and Uncertain carry a value
    if (!scalar) return Fault(Env_.Ledger->ItemId(index) + " came without a UInt16 value");
    if (!notification) ++Activity.Reads;
    Env_.Ledger->Observed(index, number, floor);
}

void TSoakUaClient::Published(TUaBinaryReader& r) {
    LastPublishTick_ = Env_.Clock->TickCount();
    const std::uint32_t subscription = r.UInt32();
    r.Array([&] { return r.UInt32(); });
    r.Boolean();
    const std::uint32_t sequence = r.UInt32();
    r.DateTime();
    const auto data = r.Array([&] { return r.ExtensionObject(); });
    if (!r.Ok()) return Fail("Publish answer malformed");
    ++(data.empty() ? Env_.Counters->UaKeepAlives : Env_.Counters->UaPublishes);
    if (!data.empty()) Acks_.emplace_back(subscription, sequence);
    for (const auto& e : data) {
        if (!e.TypeId.IsNum(UaId::DataChangeNotification)) continue;
        TUaBinaryReader body(e.Body);
        const auto items = body.Array([&] {
            const std::uint32_t handle = body.UInt32();
            return std::make_pair(static_cast<int>(handle), body.DataValue());
        });
        if (!body.Ok()) return Fail("a data change notification malformed");
        for (const auto& [handle, value] : items) {
            if (std::find(Items_.begin(), Items_.end(), handle) == Items_.end()) {
                Fault("a notification for client handle " + std::to_string(handle));
                continue;
            }
            ++Env_.Counters->UaNotifications;
            // The own words' order is known; other clients write the rest.
            auto floor = PublishFloors_.find(handle);
            Observe(handle, value,
                    floor == PublishFloors_.end() ? std::nullopt : std::optional(floor->second), true);
        }
    }
    for (int index : Writable_) PublishFloors_[index] = Env_.Ledger->Floor(index);
}

void TSoakUaClient::Publish() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> acks;
    acks.swap(Acks_);
    Send(UaId::PublishRequest, TKind::Publish, [&](TUaBinaryWriter& w) {
        w.Array(acks, [&](const auto& ack) {
            w.UInt32(ack.first);
            w.UInt32(ack.second);
        });
    });
}

std::size_t TSoakUaClient::Outstanding() const {
    return static_cast<std::size_t>(std::count_if(Pending_.begin(), Pending_.end(), [](const auto& p) {
        return p.second.Kind == TKind::Write || p.second.Kind == TKind::Read;
    }));
}

void TSoakUaClient::Step() {
    if (!Ready() || Outstanding() >= MaxOutstanding) return;
    const int roll = std::uniform_int_distribution<int>(0, 99)(*Env_.Random);
    if (roll >= 50) {
        if (roll < 70) DeviceRead();
        return;
    }
    TPending pending;
    for (int index : Pick(Writable_, 3)) pending.Writes.emplace_back(index, Env_.Ledger->NextValue(index));
    if (pending.Writes.empty()) return;
    const auto writes = pending.Writes;
    // The location shows a written value while the PLC decides: it is given from now on.
    for (const auto& [index, value] : writes) Env_.Ledger->Given(index, value);
    ++Env_.Counters->UaWriteCalls;
    Send(
        UaId::WriteRequest, TKind::Write,
        [&](TUaBinaryWriter& w) {
            w.Array(writes, [&](const auto& write) {
                WriteValueId(w, Env_.Ledger->ItemId(write.first));
                TUaDataValue v;
                v.Value = TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{write.second});
                w.DataValue(v);
            });
        },
        std::move(pending));
}

void TSoakUaClient::DeviceRead() {
    TPending pending;
    for (int index : Pick(Items_, 5)) pending.Reads.emplace_back(index, Env_.Ledger->Floor(index));
    if (pending.Reads.empty()) return;
    const auto reads = pending.Reads;
    ++Env_.Counters->UaReads;
    Send(
        UaId::ReadRequest, TKind::Read,
        [&](TUaBinaryWriter& w) {
            w.Double(0); // maxAge 0: from the device
            w.UInt32(0);
            w.Array(reads, [&](const auto& read) {
                WriteValueId(w, Env_.Ledger->ItemId(read.first));
                w.QualifiedName({});
            });
        },
        std::move(pending));
}

void TSoakUaClient::VanishAfterRead() {
    if (Ready()) {
        DeviceRead();
        Socket_->flush();
    }
    Drop(TState::Closed);
}

void TSoakUaClient::Close() {
    if (State_ == TState::Ready) {
        State_ = TState::Closing;
        Send(UaId::CloseSessionRequest, TKind::Close, [](TUaBinaryWriter& w) { w.Boolean(true); });
    } else if (!Done()) {
        Drop(TState::Closed);
    }
}

void TSoakUaClient::CheckOverdue() {
    if (Done()) return;
    for (auto& [id, pending] : Pending_) {
        if (pending.Kind == TKind::Publish || pending.Overdue ||
            Elapsed(pending.StartTick) <= Env_.SyncReadBoundMs)
            continue;
        pending.Overdue = true;
        Fault("request " + std::to_string(id) + " not answered within " +
              std::to_string(Env_.SyncReadBoundMs) + " ms");
    }
    if (State_ == TState::Ready && !PublishSilent_ && Elapsed(LastPublishTick_) > PublishSilenceMs) {
        PublishSilent_ = true;
        Fault("no Publish answer for " + std::to_string(PublishSilenceMs) + " ms");
    }
}

} // namespace dravon::soak
