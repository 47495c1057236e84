#include "app/MemoryStore.h"
#include "app/Settings.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

TEST(SettingsTest, RoundTripKeepsEveryValueAndTheStorageOrderNames) {
    TMemoryStore store;
    TSettings written;
    written.ShowTrayIcon = false;
    written.AllowBrowsing = false;
    written.LogEvents = true;
    written.EnableUncertain = false;
    written.EnableBAD = false;
    written.DoSerialSpy = true;
    written.ForcedOnChange = true;
    written.OnChangeAlwaysTrueForStrings = true;
    written.SlowDownVisual = true;
    written.UDPPortSame = true;
    written.DisableBinaryMode = true;
    written.QualityIndependentSyncRead = true;
    written.DetectIntensiveBrowsing = false;
    written.ArrayElementCount = 120;
    written.MinBlockSize = 54;
    written.MinBlockUsage = 100;
    written.MsgCountBeforeWait = 9999;
    written.WaitTime = 99999;
    written.BusyRetries = 0;
    ASSERT_TRUE(SaveConfigurationToRegistry(store, written, nullptr));
    TSettings read;
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, read));
    EXPECT_EQ(read, written);

    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadDword("cbQualityIndependetSyncRead"), 1u);
    EXPECT_EQ(key->ReadDword("Create log file (Dravon.log)"), 1u);
    EXPECT_EQ(key->ValueNames().size(), 19u);
}

TEST(SettingsTest, KeyWithOnlyTheFirstTwoValues) {
    TMemoryStore store;
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    key->WriteDword("Show tray icon", 0);
    key->WriteDword("Allow browsing PLC variables", 0);
    key->WriteDword("edMinBlockSize", 33); // after the gap: never reached
    TSettings settings;
    settings.LogEvents = true;
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, settings));
    TSettings expected;
    expected.ShowTrayIcon = false;
    expected.AllowBrowsing = false;
    EXPECT_EQ(settings, expected);
}

TEST(SettingsTest, WronglyTypedValueEndsTheReadingAndNonZeroIsTrue) {
    TMemoryStore store;
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    key->WriteDword("Show tray icon", 0);
    key->WriteDword("Allow browsing PLC variables", 7);
    key->WriteDword("Create log file (Dravon.log)", 5);
    key->WriteString("Enable UNCERTAIN quality", "0");
    key->WriteDword("Enable BAD quality", 0);
    TSettings settings;
    LoadConfigurationFromRegistry(store, settings);
    EXPECT_FALSE(settings.ShowTrayIcon);
    EXPECT_TRUE(settings.AllowBrowsing);
    EXPECT_TRUE(settings.LogEvents);
    EXPECT_TRUE(settings.EnableUncertain);
    EXPECT_TRUE(settings.EnableBAD);
}

TEST(SettingsTest, MissingKeyGivesDefaultsAndFailedSaveShowsTheMessageOnce) {
    TMemoryStore store;
    TSettings settings;
    settings.WaitTime = 5;
    EXPECT_FALSE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_EQ(settings, TSettings{});

    store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    store.WritesFail = true;
    std::vector<std::string> shown;
    EXPECT_FALSE(SaveConfigurationToRegistry(store, settings, [&](const std::string& m) { shown.push_back(m); }));
    EXPECT_EQ(shown, std::vector<std::string>{"Unable to modify system registry, please log on with administrator rights"});
}

TEST(SettingsTest, PositionsRoundTripAndClientStartKeepsFirstStart) {
    TMemoryStore store;
    TPositions positions;
    EXPECT_EQ(LoadPositions(store, positions), -1);
    positions.frmState = 2;
    positions.frmL = -20; // a window left of the primary screen
    ASSERT_TRUE(SavePositions(store, positions, true));
    TPositions read;
    read.frmW = 1;
    EXPECT_EQ(LoadPositions(store, read), 7);
    EXPECT_TRUE(read.FirstStart);
    EXPECT_EQ(read.frmState, 2);
    EXPECT_EQ(read.frmL, -20);
    EXPECT_EQ(read.frmW, positions.frmW);
    ASSERT_TRUE(SavePositions(store, positions, false));
    LoadPositions(store, read);
    EXPECT_FALSE(read.FirstStart);
}

} // namespace
} // namespace dravon
