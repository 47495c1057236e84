// The edge node's settings: broker URLs, the store round trip (a shorter list leaves no
// stale numbered values behind) and the password file that others must not read.
#include "mqtt/MqttConfig.h"
#include "app/MemoryStore.h"
#include "unit/app/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace dravon {
namespace {

TEST(MqttConfigTest, BrokerUrls) {
    // The URL; TLS, host and port.
    const std::tuple<const char*, bool, const char*, std::uint16_t> valid[] = {
        {"mqtt://127.0.0.1", false, "127.0.0.1", 1883},
        {"mqtts://broker.plant", true, "broker.plant", 8883},
        {"mqtt://broker:1884/", false, "broker", 1884},
        {"mqtts://10.0.0.1:65535", true, "10.0.0.1", 65535},
    };
    for (const auto& [url, tls, host, port] : valid) {
        const auto a = ParseBrokerUrl(url).value_or(TBrokerAddress{});
        EXPECT_EQ(std::tuple(a.Tls, a.Host, a.Port), std::tuple(tls, std::string(host), port)) << url;
    }
    for (const char* url : {"mqtt://broker:0", "mqtt://broker:65536", "mqtt://broker:x", "mqtt://:1883",
                            "mqtt://user@broker", "tcp://broker:1883", ""})
        EXPECT_FALSE(ParseBrokerUrl(url)) << url;
}

TEST(MqttConfigTest, StoreRoundTripWithDefaultsAndAShorterList) {
    TMemoryStore store;
    TMqttConfig config;
    EXPECT_EQ(
        std::tuple(LoadMqttConfig(store, config), config.Enabled, config.AllowWrites, config.PublishPeriodMs),
        std::tuple(false, false, false, 1000u));

    config.Enabled = true;
    config.BrokerUrl = "mqtts://broker:8884";
    config.EdgeNodeId = "line3";
    config.KeepAliveSeconds = 5; // the shortest kept
    config.PublishPeriodMs = 24; // below the server tick: back to the default
    config.Items = {
        {"PLC1.WR0010", "Level", "Float", 0.25}, {"PLC1.X0001", "", "", 0}, {"Sys.Time", "", "", 0}};
    ASSERT_TRUE(SaveMqttConfig(store, config));
    config.Items.pop_back();
    ASSERT_TRUE(SaveMqttConfig(store, config));

    TMqttConfig loaded;
    ASSERT_TRUE(LoadMqttConfig(store, loaded));
    EXPECT_EQ(std::tie(loaded.Enabled, loaded.BrokerUrl, loaded.EdgeNodeId, loaded.KeepAliveSeconds,
                       loaded.PublishPeriodMs, loaded.Items),
              std::tuple(true, "mqtts://broker:8884", "line3", 5u, 1000u, config.Items));
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, MqttConfigKeyPath);
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->ValueExists("Item2") || key->ValueExists("Deadband2") || key->ValueExists("Password"));
}

TEST(MqttConfigTest, PasswordFileOnlyWhenOthersCannotReadIt) {
    test::TTempDir dir;
    const std::string path = dir.File("mqtt-password");
    std::ofstream(path) << "s3cret\n";
    namespace fs = std::filesystem;
    std::string reason;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(ReadSecretFile(path, reason));
    EXPECT_EQ(reason, "the password file " + path + " may be read by others (it must be 0600)");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadSecretFile(path, reason), "s3cret");
    EXPECT_FALSE(ReadSecretFile(dir.File("missing"), reason));
}

} // namespace
} // namespace dravon
