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
    struct TCase {
        const char* Url;
        bool Valid;
        bool Tls;
        const char* Host;
        std::uint16_t Port;
    };
    const TCase cases[] = {
        {"mqtt://127.0.0.1", true, false, "127.0.0.1", 1883},
        {"mqtts://broker.plant", true, true, "broker.plant", 8883},
        {"mqtt://broker:1884/", true, false, "broker", 1884},
        {"mqtts://10.0.0.1:65535", true, true, "10.0.0.1", 65535},
        {"mqtt://broker:0", false, false, "", 0},
        {"mqtt://broker:65536", false, false, "", 0},
        {"mqtt://broker:x", false, false, "", 0},
        {"mqtt://:1883", false, false, "", 0},
        {"mqtt://user@broker", false, false, "", 0},
        {"tcp://broker:1883", false, false, "", 0},
        {"", false, false, "", 0},
    };
    for (const TCase& c : cases) {
        const auto a = ParseBrokerUrl(c.Url).value_or(TBrokerAddress{false, "", 0});
        EXPECT_EQ(std::tuple(ParseBrokerUrl(c.Url).has_value(), a.Tls, a.Host, a.Port),
                  std::tuple(c.Valid, c.Tls, std::string(c.Host), c.Port))
            << c.Url;
    }
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
