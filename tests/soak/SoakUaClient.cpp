#include "SoakUaClient.h"

#include "app/Platform.h"
#include "ua/UaStatusCodes.h"

#include <QHostAddress>

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

TSoakUaClient::TSoakUaClient(TSoakEnv& env, std::string name, std::uint16_t port, std::vector<int> monitored,
                             std::vector<int> writable, double publishingMs, double sessionTimeoutMs)
    : TSoakClientBase(env, std::move(name), std::move(monitored), std::move(writable), env.SyncReadBoundMs),
      Port_(port), PublishingMs_(publishingMs), SessionTimeoutMs_(sessionTimeoutMs) {}

void TSoakUaClient::Drop(TState state) {
    if (Wire_) {
        Wire_->Socket->disconnect();
        Wire_->Socket->abort();
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
    Wire_ = std::make_unique<TUaWire>();
    Wire_->Raw.SessionName = Name_;
    QTcpSocket* socket = Wire_->Socket.get();
    QObject::connect(socket, &QTcpSocket::connected, socket, [this] { Wire_->Raw.Send(test::HelloFrame()); });
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
        gone("socket error: " + Wire_->Socket->errorString().toStdString());
    });
    socket->connectToHost(QHostAddress::LocalHost, Port_);
}

template <typename F>
TSoakClientBase::TPending& TSoakUaClient::Send(int kind, F send, const std::vector<int>& read) {
    send(Wire_->Raw);
    return Start(Wire_->Raw.RequestId, kind, read);
}

void TSoakUaClient::Received() {
    test::TRawUaClient& raw = Wire_->Raw;
    for (const test::TFrame& f : Wire_->Frames()) {
        if (State_ == TState::Failed) return;
        TUaBinaryReader r(f.Body);
        if (f.Type == "ACKF") {
            raw.Send(test::OpenFrame(0, raw.Sequence, raw.RequestId, 0, 1,
                                     "http://opcfoundation.org/UA/SecurityPolicy#None", TokenLifetimeMs));
        } else if (f.Type == "ERRF") {
            const TUaStatusCode code = r.StatusCode();
            Fail("Error message " + Hex(code, 8) + " " + r.String());
        } else if (f.Type == "OPNF") {
            raw.ChannelId = r.UInt32();
            Send(Creating, [&](auto& c) { c.CreateSession(SessionTimeoutMs_); });
        } else if (f.Type.starts_with("MSG") && f.Body.size() >= 16) {
            const std::uint32_t requestId = TUaBinaryReader(std::string_view(f.Body).substr(12, 4)).UInt32();
            std::string& partial = Partial_[requestId];
            partial.append(f.Body, 16);
            if (f.Type == "MSGC") continue;
            std::string payload = std::move(partial);
            Partial_.erase(requestId);
            if (f.Type != "MSGF")
                return Fail("the server aborted the answer to request " + std::to_string(requestId));
            auto pending = Answered(requestId);
            if (!pending) return Fail("an answer to unknown request " + std::to_string(requestId));
            if (pending->Kind == Reading)
                Env_.Counters->Most("slowest UA device read (ms)", Elapsed(pending->StartTick));
            TUaBinaryReader body(payload);
            const test::TResponseStart start = test::ReadResponseStart(body);
            // Publish requests still queued when the session closes are answered with a fault.
            if (start.TypeId == UaId::ServiceFault || start.ServiceResult != 0) {
                if (State_ != TState::Closing || pending->Kind != Held)
                    Fail("request " + std::to_string(requestId) + " answered " + Hex(start.ServiceResult, 8));
            } else {
                Response(std::move(*pending), body);
            }
        } else {
            Fail("unexpected frame " + f.Type);
        }
    }
}

void TSoakUaClient::Response(TPending pending, TUaBinaryReader& r) {
    switch (pending.Kind) {
    case Creating:
        r.NodeId();
        Send(Activating, [&](auto& c) { c.Activate(r.NodeId()); });
        return;
    case Activating:
        // Its answer comes over the socket, not from the test client's call.
        Send(Subscribing, [&](auto& c) { c.CreateSubscription(PublishingMs_, 120, 10); });
        return;
    case Subscribing:
        Subscription_ = r.UInt32();
        Send(Monitoring, [&](auto& c) {
            c.Request(UaId::CreateMonitoredItemsRequest, [&](TUaBinaryWriter& w) {
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
        });
        return;
    case Monitoring: {
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
    case Held: // Publish
        Published(r);
        if (State_ == TState::Ready) Publish();
        return;
    case Writing: {
        const auto results = r.Array([&] { return r.StatusCode(); });
        if (!r.Ok() || results.size() != pending.Writes.size()) return Fail("Write answer malformed");
        for (std::size_t i = 0; i < results.size(); ++i) {
            const auto [index, value] = pending.Writes[i];
            if (results[i] == 0) { // the PLC confirmed the value
                Confirm(index, value);
                continue;
            }
            // The server dropped the value. A fault phase: the PLC did not answer, or
            // answered with an error status; anything else is a fault of the run.
            Env_.Counters->Count("UA write elements refused");
            Env_.Ledger->Refused(index, value);
            if (results[i] != UaStatus::BadNoCommunication && results[i] != UaStatus::BadTimeout &&
                results[i] != UaStatus::BadNotWritable)
                Fault("writing " + Env_.Ledger->ItemId(index) + " answered " + Hex(results[i], 8));
        }
        return;
    }
    case Reading: {
        const auto values = r.Array([&] { return r.DataValue(); });
        if (!r.Ok() || values.size() != pending.Reads.size()) return Fail("Read answer malformed");
        for (std::size_t i = 0; i < values.size(); ++i)
            Observe(pending.Reads[i].first, values[i], pending.Reads[i].second, false);
        Env_.Counters->Count("UA device read values", values.size());
        return;
    }
    case Closing:
        State_ = TState::Closing;
        Wire_->Raw.Send(
            test::MessageFrame("CLOF", Wire_->Raw.ChannelId, 1, ++Wire_->Raw.Sequence, ++Wire_->Raw.RequestId,
                               test::RequestBody(UaId::CloseSecureChannelRequest, {}, 0, [](auto&) {})));
        Wire_->Socket->disconnectFromHost();
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
    Env_.Counters->Count(data.empty() ? "UA Publish answers empty" : "UA Publish answers with data");
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
            Env_.Counters->Count("UA notifications (monitored items)");
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
    Send(Held, [&](auto& c) {
        c.Request(UaId::PublishRequest, [&](TUaBinaryWriter& w) {
            w.Array(acks, [&](const auto& ack) {
                w.UInt32(ack.first);
                w.UInt32(ack.second);
            });
        });
    });
}

void TSoakUaClient::Step() {
    if (!Ready() || Outstanding() >= MaxOutstanding) return;
    const int roll = std::uniform_int_distribution<int>(0, 99)(*Env_.Random);
    if (roll >= 50) {
        if (roll < 70) DeviceRead();
        return;
    }
    std::vector<std::pair<int, std::uint16_t>> writes;
    for (int index : Pick(Writable_, 3)) writes.emplace_back(index, Env_.Ledger->NextValue(index));
    if (writes.empty()) return;
    // The location shows a written value while the PLC decides: it is given from now on.
    for (const auto& [index, value] : writes) Env_.Ledger->Given(index, value);
    Env_.Counters->Count("UA write calls");
    Send(Writing, [&](auto& c) {
        c.Request(UaId::WriteRequest, [&](TUaBinaryWriter& w) {
            w.Array(writes, [&](const auto& write) {
                WriteValueId(w, Env_.Ledger->ItemId(write.first));
                TUaDataValue v;
                v.Value = TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{write.second});
                w.DataValue(v);
            });
        });
    }).Writes = writes;
}

void TSoakUaClient::DeviceRead() {
    const std::vector<int> picked = Pick(Items_, 5);
    if (picked.empty()) return;
    std::vector<std::pair<TUaNodeId, std::uint32_t>> nodes;
    for (int index : picked) nodes.emplace_back(TUaNodeId::Str(Env_.Ledger->ItemId(index)), 13);
    Env_.Counters->Count("UA device reads (maxAge 0)");
    Send(
        Reading, [&](auto& c) { c.Request(UaId::ReadRequest, test::TRawUaClient::ReadOf(nodes, 0)); },
        picked);
}

void TSoakUaClient::VanishAfterRead() {
    if (Ready()) {
        DeviceRead();
        Wire_->Socket->flush();
    }
    Drop(TState::Closed);
}

void TSoakUaClient::Close() {
    if (State_ == TState::Ready) {
        State_ = TState::Closing;
        Send(Closing, [](auto& c) {
            c.Request(UaId::CloseSessionRequest, [](TUaBinaryWriter& w) { w.Boolean(true); });
        });
    } else if (!Done()) {
        Drop(TState::Closed);
    }
}

void TSoakUaClient::CheckOverdue() {
    if (Done()) return;
    TSoakClientBase::CheckOverdue();
    if (State_ == TState::Ready && !PublishSilent_ && Elapsed(LastPublishTick_) > PublishSilenceMs) {
        PublishSilent_ = true;
        Fault("no Publish answer for " + std::to_string(PublishSilenceMs) + " ms");
    }
}

} // namespace dravon::soak
