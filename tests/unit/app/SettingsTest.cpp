#include "app/Settings.h"
#include "app/MemoryStore.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

TEST(Settings, RoundTripKeepsEveryValue) {
    TMemoryStore store;
    TSettings written;
    written.ShowTrayIcon = false;
    written.LogEvents = true;
    written.QualityIndependentSyncRead = true;
    written.DetectIntensiveBrowsing = false;
    written.ArrayElementCount = 120;
    written.MinBlockSize = 54;
    written.WaitTime = 99999;
    written.BusyRetries = 0;
    ASSERT_TRUE(SaveConfigurationToRegistry(store, written, nullptr));
    TSettings read;
    read.MinBlockSize = 1;
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, read));
    EXPECT_EQ(read, written);
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadDword("cbQualityIndependetSyncRead"), 1u);
    EXPECT_EQ(key->ValueNames().size(), 19u);
}

TEST(Settings, ReadingStopsAtFirstMissingValue) {
    TMemoryStore store;
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    key->WriteDword("Show tray icon", 0);
    key->WriteDword("Allow browsing PLC variables", 0);
    // Present but unreachable: reading already stopped at the missing third value.
    key->WriteDword("Enable UNCERTAIN quality", 0);
    key->WriteDword("edMinBlockSize", 3);
    TSettings settings;
    settings.EnableBAD = false;
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_FALSE(settings.ShowTrayIcon);
    EXPECT_FALSE(settings.AllowBrowsing);
    EXPECT_TRUE(settings.EnableUncertain);
    EXPECT_TRUE(settings.EnableBAD);
    EXPECT_EQ(settings.MinBlockSize, 10);
}

TEST(Settings, WrongTypeEndsReadingAndMissingKeyGivesDefaults) {
    TMemoryStore store;
    TSettings settings;
    settings.WaitTime = 7;
    EXPECT_FALSE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_EQ(settings, TSettings{});
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    key->WriteString("Show tray icon", "0");
    key->WriteDword("Allow browsing PLC variables", 0);
    ASSERT_TRUE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_TRUE(settings.ShowTrayIcon);
    EXPECT_TRUE(settings.AllowBrowsing);
}

TEST(Settings, FailedWriteShowsTheRegistryMessageOnce) {
    TMemoryStore store;
    ASSERT_TRUE(store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings"));
    store.WritesFail = true;
    std::vector<std::string> shown;
    EXPECT_FALSE(
        SaveConfigurationToRegistry(store, TSettings{}, [&](const std::string& m) { shown.push_back(m); }));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Unable to modify system registry, please log on with administrator rights");
}

TEST(Positions, RoundTripAndFirstStart) {
    TMemoryStore store;
    TPositions saved;
    saved.frmState = 2;
    saved.frmW = 1024;
    saved.frmL = -8;
    ASSERT_TRUE(SavePositions(store, saved, /*startedByClient=*/true));
    TPositions read;
    EXPECT_EQ(LoadPositions(store, read), 7);
    EXPECT_TRUE(read.FirstStart); // a start by a client leaves FirstStart alone
    EXPECT_EQ(read.frmState, 2);
    EXPECT_EQ(read.frmW, 1024);
    EXPECT_EQ(read.frmL, -8);
    ASSERT_TRUE(SavePositions(store, saved, false));
    EXPECT_EQ(LoadPositions(store, read), 7);
    EXPECT_FALSE(read.FirstStart);
}

} // namespace
} // namespace dravon
