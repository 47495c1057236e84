#include "app/FileStore.h"
#include "TempDir.h"
#include "app/Settings.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dravon {
namespace {

namespace fs = std::filesystem;

constexpr const char* PLCListKey = "SOFTWARE\\Norvane\\Dravon\\PLCList";

class FileStoreTest : public ::testing::Test {
protected:
    test::TTempDir Dir;
    std::string Machine = Dir.File("machine.store");
    std::string User = Dir.File("user.store");
};

TEST_F(FileStoreTest, ValuesSurviveAReloadInTheirOwnFilesAndDeletedKeysStayDeleted) {
    {
        TFileStore store(Machine, User);
        EXPECT_EQ(store.MachineFileState(), TStoreFileState::Missing);
        auto settings = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
        ASSERT_TRUE(settings);
        EXPECT_TRUE(settings->WriteDword("Show tray icon", 0));
        EXPECT_TRUE(settings->WriteDword("edWaitTime", 4294967295u));
        ASSERT_TRUE(store.OpenKey(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
        auto positions = store.OpenKey(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions");
        ASSERT_TRUE(positions);
        EXPECT_TRUE(positions->WriteString("", "quote \" backslash \\ tab \t newline \n high \xC3\xA9 \x7F"));
        ASSERT_TRUE(store.OpenKey(TRootKey::ClassesRoot, "CLSID\\{X}\\Implemented Categories\\{A}"));
        ASSERT_TRUE(store.OpenKey(TRootKey::ClassesRoot, "CLSID\\{X}\\LocalServer32"));
        EXPECT_TRUE(store.DeleteKey(TRootKey::ClassesRoot, "clsid\\{x}\\implemented categories"));
    }
    EXPECT_EQ(test::ReadFile(Machine).find("HKEY_CURRENT_USER"), std::string::npos);
    EXPECT_EQ(test::ReadFile(User).find("HKEY_LOCAL_MACHINE"), std::string::npos);
    // Every escape keeps the file one record per line, printable ASCII only.
    for (char c : test::ReadFile(User)) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);

    TFileStore again(Machine, User);
    EXPECT_EQ(std::pair(again.MachineFileState(), again.UserFileState()),
              std::pair(TStoreFileState::Loaded, TStoreFileState::Loaded));
    auto settings = again.OpenKeyReadOnly(TRootKey::LocalMachine, "software\\NORVANE\\dravon\\settings");
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->ReadDword("show tray icon"), 0u);
    EXPECT_EQ(settings->ReadDword("edWaitTime"), 4294967295u);
    EXPECT_FALSE(settings->ReadString("edWaitTime"));                          // kind is kept
    EXPECT_TRUE(again.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC")); // empty keys are kept
    auto positions = again.OpenKeyReadOnly(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions");
    ASSERT_TRUE(positions);
    EXPECT_EQ(positions->ReadString(""), "quote \" backslash \\ tab \t newline \n high \xC3\xA9 \x7F");
    // Deleted keys stay deleted, their siblings stay.
    EXPECT_FALSE(again.KeyExists(TRootKey::ClassesRoot, "CLSID\\{X}\\Implemented Categories"));
    EXPECT_TRUE(again.KeyExists(TRootKey::ClassesRoot, "CLSID\\{X}\\LocalServer32"));
}

// A stop asked while a large file loads (a signal during a slow start): the load ends,
// both files are left as they are and nothing can be written over them.
TEST_F(FileStoreTest, AStopDuringALargeLoadEndsItAndWritesNothing) {
    std::string text =
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"SOFTWARE\\\\Norvane\\\\Dravon\\\\PLCList\"\n";
    for (int i = 0; i < 5000; ++i) text += "dword \"TimeOut" + std::to_string(i) + "\" 1000\n";
    test::WriteFile(Machine, text);
    int asked = 0;
    TFileStore store(Machine, User, [&] { return ++asked > 0; });
    EXPECT_EQ(std::tuple(store.LoadStopped(), store.MachineFileState(), store.UserFileState(), asked),
              std::tuple(true, TStoreFileState::Unreadable, TStoreFileState::Unreadable, 1));
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    EXPECT_FALSE(key && key->WriteDword("edWaitTime", 1));
    EXPECT_EQ(test::ReadFile(Machine), text);
    EXPECT_FALSE(fs::exists(User));
}

// Twenty skipped lines are named one by one; past them only their number is.
TEST_F(FileStoreTest, TwentySkippedLinesAreNamedAndMoreAreCounted) {
    std::string text = "DRAVON-STORE 1\n";
    for (int i = 0; i < 20; ++i) text += "bad\n";
    test::WriteFile(Machine, text);
    const std::vector<std::string> problems = TFileStore(Machine, User).TakeProblems();
    ASSERT_EQ(problems.size(), 20u);
    EXPECT_EQ(problems.back(), "Store file " + Machine + " line 21 skipped: unknown record \"bad\"");
    test::WriteFile(Machine, text + "bad\n");
    EXPECT_EQ(TFileStore(Machine, User).TakeProblems().back(),
              "Store file " + Machine + ": 1 more lines skipped");
}

TEST_F(FileStoreTest, ABatchOfChangesIsOneWriteAtItsEnd) {
    TFileStore store(Machine, User);
    ASSERT_TRUE(store.OpenKey(TRootKey::LocalMachine, "SOFTWARE")->WriteDword("Before", 1));
    const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(Machine, mode); // the owner's choice outlives the rewrite
    const std::string before = test::ReadFile(Machine);
    {
        TStoreUpdate update(store);
        auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\PLCList");
        ASSERT_TRUE(key);
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(key->WriteDword("TimeOut" + std::to_string(i), 1000));
        EXPECT_EQ(key->ReadDword("TimeOut99"), 1000u); // visible in memory at once
        EXPECT_EQ(test::ReadFile(Machine), before);    // the file waits for the end
        ASSERT_TRUE(update.Commit());
    }
    EXPECT_NE(test::ReadFile(Machine).find("dword \"TimeOut99\" 1000\n"), std::string::npos);
    EXPECT_EQ(fs::status(Machine).permissions(), mode);
}

TEST_F(FileStoreTest, ReadOnlyFileMakesWritesFailAndLeavesMemoryAsOnDisk) {
    {
        TFileStore store(Machine, User);
        ASSERT_TRUE(store.OpenKey(TRootKey::LocalMachine, SettingsKeyPath)->WriteDword("edWaitTime", 7));
    }
    fs::permissions(Machine, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = test::ReadFile(Machine);

    TFileStore store(Machine, User);
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    ASSERT_TRUE(key); // exists: opening does not write
    EXPECT_FALSE(key->WriteDword("edWaitTime", 8) || key->WriteDword("new value", 1) ||
                 key->ValueExists("new value") || key->DeleteValue("edWaitTime"));
    EXPECT_EQ(key->ReadDword("edWaitTime"), 7u);
    EXPECT_FALSE(store.OpenKey(TRootKey::ClassesRoot, "DravonOPC.DA2") ||
                 store.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2") ||
                 store.DeleteKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane"));
    EXPECT_TRUE(store.KeyExists(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings"));

    // The settings' save fails with the registry message, shown once.
    std::vector<std::string> shown;
    EXPECT_FALSE(
        SaveConfigurationToRegistry(store, TSettings{}, [&](const std::string& m) { shown.push_back(m); }));
    EXPECT_EQ(shown, std::vector<std::string>{
                         "Unable to modify system registry, please log on with administrator rights"});
    EXPECT_EQ(test::ReadFile(Machine), before);
    // The user file is separate and still writable.
    EXPECT_TRUE(store.OpenKey(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions"));
}

TEST_F(FileStoreTest, UnwritableLocationFailsVisiblyAndLeavesNoTemporaryFile) {
    // A regular file where the folder should be: no user, root included, can create it.
    test::WriteFile(Dir.File("blocker"), "x");
    TFileStore store(Dir.File("blocker") + "/machine.store", User);
    EXPECT_FALSE(store.OpenKey(TRootKey::LocalMachine, "SOFTWARE") ||
                 store.KeyExists(TRootKey::LocalMachine, "SOFTWARE"));

    TFileStore good(Machine, User);
    ASSERT_TRUE(good.OpenKey(TRootKey::LocalMachine, "SOFTWARE"));
    // No temporary file is left; the lock file stays for the next writer.
    for (const auto& entry : fs::directory_iterator(Dir.Path)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "blocker" || name == "machine.store" || name == "machine.store.lock") << name;
    }
}

TEST_F(FileStoreTest, AnotherProcessesChangesAreReadBeforeEachWrite) {
    TFileStore server(Machine, User);
    ASSERT_TRUE(server.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon")->WriteDword("Writer", 1));
    {
        // A registration loaded the file before the server saved its PLC list, and writes
        // the same root afterwards: its old copy of the list must not win.
        TFileStore registration(Machine, User);
        ASSERT_TRUE(server.OpenKey(TRootKey::LocalMachine, PLCListKey)->WriteDword("Count", 3));
        ASSERT_TRUE(registration.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon")
                        ->WriteDword("Writer", 1));
        ASSERT_TRUE(registration.OpenKey(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
        EXPECT_EQ(registration.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKey)->ReadDword("Count"), 3u);
    }
    // The server then saves its settings: its old copy of the classes root must not win.
    ASSERT_TRUE(SaveConfigurationToRegistry(server, TSettings{}, nullptr));
    TFileStore after(Machine, User);
    EXPECT_TRUE(after.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC") &&
                after.KeyExists(TRootKey::LocalMachine, SettingsKeyPath));
    EXPECT_EQ(after.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKey)->ReadDword("Count"), 3u);
    EXPECT_TRUE(after.TakeProblems().empty());
}

} // namespace
} // namespace dravon
