#include "app/Settings.h"
#include "app/MemoryStore.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

// The stored names in their order, the defaults, and the field each one fills: each row's
// value alone differs from its default, so a name read into the wrong field is caught.
TEST(Settings, StoredNamesDefaultsAndFieldsAsPublished) {
    struct TRow {
        const char* Name;
        std::uint32_t Default;
        std::uint32_t Other;
        void (*Expect)(TSettings&);
    };
    const TRow rows[] = {
        {"Show tray icon", 1, 0, [](TSettings& s) { s.ShowTrayIcon = false; }},
        {"Allow browsing PLC variables", 1, 0, [](TSettings& s) { s.AllowBrowsing = false; }},
        {"Create log file (Dravon.log)", 0, 1, [](TSettings& s) { s.LogEvents = true; }},
        {"Enable UNCERTAIN quality", 1, 0, [](TSettings& s) { s.EnableUncertain = false; }},
        {"Enable BAD quality", 1, 0, [](TSettings& s) { s.EnableBAD = false; }},
        {"cbDoSerialSpy", 0, 1, [](TSettings& s) { s.DoSerialSpy = true; }},
        {"cbForcedOnChange", 0, 1, [](TSettings& s) { s.ForcedOnChange = true; }},
        {"cbOnChangeAlwaysTrueForStrings", 0, 1, [](TSettings& s) { s.OnChangeAlwaysTrueForStrings = true; }},
        {"cbSlowDownVisual", 0, 1, [](TSettings& s) { s.SlowDownVisual = true; }},
        {"cbUDPPortSame", 0, 1, [](TSettings& s) { s.UDPPortSame = true; }},
        {"cbDisableBinaryMode", 0, 1, [](TSettings& s) { s.DisableBinaryMode = true; }},
        {"cbQualityIndependetSyncRead", 0, 1, [](TSettings& s) { s.QualityIndependentSyncRead = true; }},
        {"cbDetectIntensiveBrowsing", 1, 0, [](TSettings& s) { s.DetectIntensiveBrowsing = false; }},
        {"edArrayElementCount", 64, 120, [](TSettings& s) { s.ArrayElementCount = 120; }},
        {"edMinBlockSize", 10, 54, [](TSettings& s) { s.MinBlockSize = 54; }},
        {"edMinBlockUsage", 50, 7, [](TSettings& s) { s.MinBlockUsage = 7; }},
        {"edMsgCountBeforeWait", 5, 9999, [](TSettings& s) { s.MsgCountBeforeWait = 9999; }},
        {"edWaitTime", 0, 99999, [](TSettings& s) { s.WaitTime = 99999; }},
        {"edBusyRetries", 3, 0, [](TSettings& s) { s.BusyRetries = 0; }},
    };
    const char* path = "SOFTWARE\\Norvane\\Dravon\\Settings";
    TMemoryStore saved;
    ASSERT_TRUE(SaveConfigurationToRegistry(saved, TSettings{}, nullptr));
    auto key = saved.OpenKeyReadOnly(TRootKey::LocalMachine, path);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ValueNames().size(), std::size(rows));
    for (const TRow& row : rows) EXPECT_EQ(key->ReadDword(row.Name), row.Default) << row.Name;

    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TMemoryStore store;
        auto settingsKey = store.OpenKey(TRootKey::LocalMachine, path);
        for (const TRow& other : rows)
            settingsKey->WriteDword(other.Name, &other == &row ? row.Other : other.Default);
        TSettings loaded, expected;
        loaded.WaitTime = 12345;
        ASSERT_TRUE(LoadConfigurationFromRegistry(store, loaded));
        row.Expect(expected);
        EXPECT_EQ(loaded, expected);
    }
}

TEST(Settings, ReadingStopsAtTheFirstMissingOrMistypedValue) {
    TMemoryStore store;
    TSettings settings;
    settings.WaitTime = 7;
    EXPECT_FALSE(LoadConfigurationFromRegistry(store, settings)); // no key: the defaults
    EXPECT_EQ(settings, TSettings{});
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    key->WriteDword("Show tray icon", 0);
    key->WriteDword("Allow browsing PLC variables", 0);
    // Present but unreachable: reading already stopped at the missing third value.
    key->WriteDword("Enable UNCERTAIN quality", 0);
    key->WriteDword("edMinBlockSize", 3);
    settings.EnableBAD = false;
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_EQ(settings, (TSettings{.ShowTrayIcon = false, .AllowBrowsing = false}));
    // A value of the wrong kind ends the reading too.
    key->WriteString("Show tray icon", "0");
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_EQ(settings, TSettings{});
}

// The window's positions per user, by their stored names; reading stops at the first missing one.
TEST(Positions, StoredNamesRoundTripAndFirstStart) {
    // clang-format off
    const std::pair<const char*, int TPositions::*> names[] = {
        {"Splitter1W", &TPositions::Splitter1W}, {"Splitter2H", &TPositions::Splitter2H}, {"frmW", &TPositions::frmW},
        {"frmH", &TPositions::frmH}, {"frmT", &TPositions::frmT}, {"frmL", &TPositions::frmL},
        {"frmState", &TPositions::frmState}};
    // clang-format on
    TPositions saved;
    int value = -8; // a negative left edge survives the unsigned value
    for (const auto& [name, field] : names) saved.*field = value++;
    TMemoryStore store;
    ASSERT_TRUE(SavePositions(store, saved, /*startedByClient=*/true));
    auto key = store.OpenKey(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions");
    ASSERT_TRUE(key);
    for (const auto& [name, field] : names)
        EXPECT_EQ(key->ReadDword(name), static_cast<std::uint32_t>(saved.*field)) << name;
    TPositions read;
    EXPECT_EQ(LoadPositions(store, read), 7);
    EXPECT_TRUE(read.FirstStart); // a start by a client leaves FirstStart alone
    for (const auto& [name, field] : names) EXPECT_EQ(read.*field, saved.*field) << name;
    ASSERT_TRUE(SavePositions(store, saved, false));
    EXPECT_EQ(key->ReadDword("FirstStart"), 0u);
    key->DeleteValue("frmT");
    TPositions partial;
    EXPECT_EQ(LoadPositions(store, partial), 4);
    EXPECT_EQ(std::tuple(partial.FirstStart, partial.frmH, partial.frmL), std::tuple(false, saved.frmH, 100));
}

} // namespace
} // namespace dravon
