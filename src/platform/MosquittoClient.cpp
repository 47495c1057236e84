#include "platform/MosquittoClient.h"

#include <QDeadlineTimer>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace dravon {

namespace {

std::string ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

} // namespace

void TMosquittoClient::TDeleter::operator()(mosquitto* handle) const { mosquitto_destroy(handle); }

TMosquittoClient::TMosquittoClient() {
    mosquitto_lib_init();
    Misc_.setInterval(MiscIntervalMs);
    QObject::connect(&Misc_, &QTimer::timeout, [this] { Turn(); });
}

TMosquittoClient::~TMosquittoClient() {
    Read_.reset();
    Write_.reset();
    Handle_.reset();
    mosquitto_lib_cleanup();
}

void TMosquittoClient::Connect(const TMqttConnectOptions& options) {
    Read_.reset();
    Write_.reset();
    Connected_ = false;
    PendingConnect_ = false;
    PendingDisconnect_.reset();
    PendingMessages_.clear();
    Handle_.reset(mosquitto_new(OrNull(options.ClientId), true, this));
    int rc = Handle_ ? MOSQ_ERR_SUCCESS : MOSQ_ERR_NOMEM;
    if (rc == MOSQ_ERR_SUCCESS) {
        mosquitto_int_option(Handle_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(Handle_.get(), &TMosquittoClient::OnConnect);
        mosquitto_disconnect_callback_set(Handle_.get(), &TMosquittoClient::OnDisconnect);
        mosquitto_message_callback_set(Handle_.get(), &TMosquittoClient::OnMessageReceived);
        if (!options.UserName.empty())
            rc = mosquitto_username_pw_set(Handle_.get(), options.UserName.c_str(), OrNull(options.Password));
    }
    if (rc == MOSQ_ERR_SUCCESS && !options.WillTopic.empty())
        rc = mosquitto_will_set(Handle_.get(), options.WillTopic.c_str(),
                                static_cast<int>(options.WillPayload.size()), options.WillPayload.data(),
                                options.WillQos, false);
    if (rc == MOSQ_ERR_SUCCESS && options.Tls) {
        if (options.CaFile.empty())
            mosquitto_int_option(Handle_.get(), MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(Handle_.get(), options.CaFile.c_str(), nullptr, OrNull(options.CertFile),
                                   OrNull(options.KeyFile), nullptr);
    }
    // The host name is looked up here, on the loop; a dotted address needs no lookup.
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(Handle_.get(), options.Host.c_str(), options.Port,
                                     options.KeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        PendingDisconnect_ = ErrorText(rc);
        Handle_.reset();
        QTimer::singleShot(0, &Misc_, [this] { Deliver(); });
        return;
    }
    Misc_.start();
    Watch();
}

void TMosquittoClient::Disconnect() {
    if (Handle_ && mosquitto_socket(Handle_.get()) >= 0) {
        mosquitto_disconnect(Handle_.get());
        // The DISCONNECT follows whatever is queued (the NDEATH): give it a bounded time.
        QDeadlineTimer deadline(FlushBoundMs);
        while (mosquitto_socket(Handle_.get()) >= 0 && mosquitto_want_write(Handle_.get()) &&
               !deadline.hasExpired())
            if (mosquitto_loop(Handle_.get(), 20, 1) != MOSQ_ERR_SUCCESS) break;
    }
    Read_.reset();
    Write_.reset();
    Misc_.stop();
    Handle_.reset();
    Connected_ = false;
    PendingConnect_ = false;
    PendingDisconnect_.reset();
    PendingMessages_.clear();
}

bool TMosquittoClient::Publish(const std::string& topic, const std::vector<std::uint8_t>& payload, int qos,
                               bool retain) {
    if (!Handle_ || !Connected_) return false;
    const int rc = mosquitto_publish(Handle_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (!Turning_) Watch();
    return rc == MOSQ_ERR_SUCCESS;
}

bool TMosquittoClient::Subscribe(const std::string& topic, int qos) {
    if (!Handle_ || !Connected_) return false;
    const int rc = mosquitto_subscribe(Handle_.get(), nullptr, topic.c_str(), qos);
    if (!Turning_) Watch();
    return rc == MOSQ_ERR_SUCCESS;
}

void TMosquittoClient::Turn() {
    if (!Handle_ || Turning_) return;
    Turning_ = true;
    const int rc = mosquitto_loop(Handle_.get(), 0, 1);
    Turning_ = false;
    if (rc != MOSQ_ERR_SUCCESS && !PendingDisconnect_) PendingDisconnect_ = ErrorText(rc);
    if (PendingDisconnect_) {
        Read_.reset();
        Write_.reset();
        Misc_.stop();
        Connected_ = false;
    } else {
        Watch();
    }
    Deliver();
}

void TMosquittoClient::Watch() {
    const int socket = Handle_ ? mosquitto_socket(Handle_.get()) : -1;
    if (socket < 0) {
        Read_.reset();
        Write_.reset();
        return;
    }
    if (!Read_ || Read_->socket() != socket) {
        Read_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
        QObject::connect(Read_.get(), &QSocketNotifier::activated, [this] { Turn(); });
        Write_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
        QObject::connect(Write_.get(), &QSocketNotifier::activated, [this] { Turn(); });
    }
    Write_->setEnabled(mosquitto_want_write(Handle_.get()));
}

void TMosquittoClient::Deliver() {
    if (PendingConnect_) {
        PendingConnect_ = false;
        if (auto f = OnConnected) f();
    }
    auto messages = std::move(PendingMessages_);
    PendingMessages_.clear();
    for (const auto& [topic, payload] : messages)
        if (auto f = OnMessage) f(topic, payload);
    if (PendingDisconnect_) {
        const std::string reason = *PendingDisconnect_;
        PendingDisconnect_.reset();
        if (auto f = OnDisconnected) f(reason);
    }
}

void TMosquittoClient::OnConnect(mosquitto*, void* self, int rc) {
    auto& client = *static_cast<TMosquittoClient*>(self);
    if (rc == 0) {
        client.Connected_ = true;
        client.PendingConnect_ = true;
    } else if (!client.PendingDisconnect_) {
        client.PendingDisconnect_ = mosquitto_connack_string(rc);
    }
}

void TMosquittoClient::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& client = *static_cast<TMosquittoClient*>(self);
    client.Connected_ = false;
    if (!client.PendingDisconnect_)
        client.PendingDisconnect_ = rc == 0 ? std::string("closed") : ErrorText(rc);
}

void TMosquittoClient::OnMessageReceived(mosquitto*, void* self, const mosquitto_message* message) {
    auto& client = *static_cast<TMosquittoClient*>(self);
    const auto* bytes = static_cast<const std::uint8_t*>(message->payload);
    client.PendingMessages_.emplace_back(message->topic ? message->topic : "",
                                         std::vector<std::uint8_t>(bytes, bytes + message->payloadlen));
}

} // namespace dravon
