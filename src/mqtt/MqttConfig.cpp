#include "mqtt/MqttConfig.h"

#include "app/KeyValueStore.h"
#include "mqtt/SparkplugPayload.h"
#include "plc/ItemId.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dravon {

namespace {

struct TTypeName {
    const char* Name;
    std::uint32_t Type;
};
constexpr TTypeName TypeNames[] = {
    {"Boolean", SparkplugType::Boolean}, {"Int16", SparkplugType::Int16},   {"UInt16", SparkplugType::UInt16},
    {"Int32", SparkplugType::Int32},     {"UInt32", SparkplugType::UInt32}, {"Float", SparkplugType::Float},
    {"Double", SparkplugType::Double},   {"String", SparkplugType::String},
};

// Decimal text in the "C" form only: the store must not depend on the locale.
std::optional<double> ParseDecimal(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || at != end) return std::nullopt;
    return value;
}

std::string FormatDecimal(double value) {
    char buffer[64];
    auto [at, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, at) : std::string("0");
}

} // namespace

void TMqttConfig::Sanitize() {
    const TMqttConfig defaults;
    if (KeepAliveSeconds < 5 || KeepAliveSeconds > 65535) KeepAliveSeconds = defaults.KeepAliveSeconds;
    if (PublishPeriodMs < 25 || PublishPeriodMs > 3600000) PublishPeriodMs = defaults.PublishPeriodMs;
    if (GroupId.empty()) GroupId = defaults.GroupId;
    if (Items.size() > MaxItems) Items.resize(MaxItems);
    for (TMqttPublishedItem& item : Items)
        if (!(item.Deadband >= 0) || item.Deadband > 1e300) item.Deadband = 0; // also NaN
}

std::optional<TBrokerAddress> ParseBrokerUrl(const std::string& url) {
    TBrokerAddress address;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        address.Port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address.Tls = true;
        address.Port = 8883;
    } else {
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']') == std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        unsigned value = 0;
        auto [at, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || error != std::errc() || at != port.data() + port.size() || value == 0 ||
            value > 65535)
            return std::nullopt;
        address.Port = static_cast<std::uint16_t>(value);
        rest.resize(colon);
    }
    if (rest.empty() || rest.find_first_of("/ @") != std::string::npos) return std::nullopt;
    address.Host = rest;
    return address;
}

std::uint32_t SparkplugTypeFromName(const std::string& name) {
    for (const TTypeName& entry : TypeNames)
        if (SameTextIgnoringCase(name, entry.Name)) return entry.Type;
    return SparkplugType::Unknown;
}

bool LoadMqttConfig(IKeyValueStore& store, TMqttConfig& config) {
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, MqttConfigKeyPath);
    if (!key) return false;
    auto text = [&](const std::string& name, std::string& field) {
        if (auto v = key->ReadString(name)) field = *v;
    };
    if (auto v = key->ReadDword("Enabled")) config.Enabled = *v != 0;
    if (auto v = key->ReadDword("AllowWrites")) config.AllowWrites = *v != 0;
    if (auto v = key->ReadDword("KeepAlive")) config.KeepAliveSeconds = *v;
    if (auto v = key->ReadDword("PublishPeriod")) config.PublishPeriodMs = *v;
    text("BrokerUrl", config.BrokerUrl);
    text("CaFile", config.CaFile);
    text("CertFile", config.CertFile);
    text("KeyFile", config.KeyFile);
    text("ClientId", config.ClientId);
    text("UserName", config.UserName);
    text("PasswordFile", config.PasswordFile);
    text("GroupId", config.GroupId);
    text("EdgeNodeId", config.EdgeNodeId);
    const std::uint32_t count = std::min(key->ReadDword("ItemCount").value_or(0), TMqttConfig::MaxItems);
    config.Items.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        TMqttPublishedItem item;
        text("Item" + n, item.ItemId);
        if (item.ItemId.empty()) continue;
        text("Metric" + n, item.MetricName);
        text("Type" + n, item.Type);
        if (auto v = key->ReadString("Deadband" + n)) item.Deadband = ParseDecimal(*v).value_or(0);
        config.Items.push_back(std::move(item));
    }
    config.Sanitize();
    return true;
}

bool SaveMqttConfig(IKeyValueStore& store, const TMqttConfig& config) {
    auto key = store.OpenKey(TRootKey::LocalMachine, MqttConfigKeyPath);
    if (!key) return false;
    bool ok = key->WriteDword("Enabled", config.Enabled);
    ok = key->WriteDword("AllowWrites", config.AllowWrites) && ok;
    ok = key->WriteDword("KeepAlive", config.KeepAliveSeconds) && ok;
    ok = key->WriteDword("PublishPeriod", config.PublishPeriodMs) && ok;
    ok = key->WriteString("BrokerUrl", config.BrokerUrl) && ok;
    ok = key->WriteString("CaFile", config.CaFile) && ok;
    ok = key->WriteString("CertFile", config.CertFile) && ok;
    ok = key->WriteString("KeyFile", config.KeyFile) && ok;
    ok = key->WriteString("ClientId", config.ClientId) && ok;
    ok = key->WriteString("UserName", config.UserName) && ok;
    ok = key->WriteString("PasswordFile", config.PasswordFile) && ok;
    ok = key->WriteString("GroupId", config.GroupId) && ok;
    ok = key->WriteString("EdgeNodeId", config.EdgeNodeId) && ok;
    // Numbered values of a longer former list are removed, so none comes back on loading.
    const std::uint32_t former = key->ReadDword("ItemCount").value_or(0);
    ok = key->WriteDword("ItemCount", static_cast<std::uint32_t>(config.Items.size())) && ok;
    for (std::size_t i = 0; i < config.Items.size(); ++i) {
        const std::string n = std::to_string(i);
        const TMqttPublishedItem& item = config.Items[i];
        ok = key->WriteString("Item" + n, item.ItemId) && ok;
        ok = key->WriteString("Metric" + n, item.MetricName) && ok;
        ok = key->WriteString("Type" + n, item.Type) && ok;
        ok = key->WriteString("Deadband" + n, FormatDecimal(item.Deadband)) && ok;
    }
    for (std::uint32_t i = static_cast<std::uint32_t>(config.Items.size());
         i < former && i < TMqttConfig::MaxItems; ++i) {
        const std::string n = std::to_string(i);
        for (const char* name : {"Item", "Metric", "Type", "Deadband"}) key->DeleteValue(name + n);
    }
    return ok;
}

std::optional<std::string> ReadSecretFile(const std::string& path, std::string& reason) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::is_regular_file(status)) {
        reason = "the password file " + path + " cannot be read";
        return std::nullopt;
    }
    const fs::perms others = fs::perms::group_all | fs::perms::others_all;
    if ((status.permissions() & others) != fs::perms::none) {
        reason = "the password file " + path + " may be read by others (it must be 0600)";
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    if (!file) {
        reason = "the password file " + path + " cannot be read";
        return std::nullopt;
    }
    std::string secret = content.str();
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) secret.pop_back();
    return secret;
}

} // namespace dravon
