#include "app/FileStore.h"
#include "TempDir.h"
#include "app/Settings.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dravon {
namespace {

namespace fs = std::filesystem;

class FileStoreTest : public ::testing::Test {
protected:
    test::TTempDir Dir;
    std::string Machine = Dir.File("machine.store");
    std::string User = Dir.File("user.store");
};

TEST_F(FileStoreTest, ValuesSurviveAReloadInTheirOwnFiles) {
    {
        TFileStore store(Machine, User);
        EXPECT_EQ(store.MachineFileState(), TStoreFileState::Missing);
        auto settings = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
        ASSERT_TRUE(settings);
        EXPECT_TRUE(settings->WriteDword("Show tray icon", 0));
        EXPECT_TRUE(settings->WriteDword("edWaitTime", 4294967295u));
        auto classes = store.OpenKey(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC");
        ASSERT_TRUE(classes);
        auto positions = store.OpenKey(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions");
        ASSERT_TRUE(positions);
        EXPECT_TRUE(positions->WriteString("", "quote \" backslash \\ tab \t newline \n high \xC3\xA9 \x7F"));
    }
    EXPECT_EQ(test::ReadFile(Machine).find("HKEY_CURRENT_USER"), std::string::npos);
    EXPECT_EQ(test::ReadFile(User).find("HKEY_LOCAL_MACHINE"), std::string::npos);
    // Every escape keeps the file one record per line, printable ASCII only.
    for (char c : test::ReadFile(User)) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);

    TFileStore again(Machine, User);
    EXPECT_EQ(again.MachineFileState(), TStoreFileState::Loaded);
    EXPECT_EQ(again.UserFileState(), TStoreFileState::Loaded);
    auto settings = again.OpenKeyReadOnly(TRootKey::LocalMachine, "software\\NORVANE\\dravon\\settings");
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->ReadDword("show tray icon"), 0u);
    EXPECT_EQ(settings->ReadDword("edWaitTime"), 4294967295u);
    EXPECT_FALSE(settings->ReadString("edWaitTime"));                          // kind is kept
    EXPECT_TRUE(again.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC")); // empty keys are kept
    auto positions = again.OpenKeyReadOnly(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions");
    ASSERT_TRUE(positions);
    EXPECT_EQ(positions->ReadString(""), "quote \" backslash \\ tab \t newline \n high \xC3\xA9 \x7F");
}

TEST_F(FileStoreTest, SettingsRoundTripThroughTheFile) {
    TSettings written;
    written.LogEvents = true;
    written.QualityIndependentSyncRead = true;
    written.MinBlockSize = 54;
    written.BusyRetries = 99999;
    {
        TFileStore store(Machine, User);
        EXPECT_TRUE(SaveConfigurationToRegistry(store, written, nullptr));
    }
    TFileStore store(Machine, User);
    TSettings read;
    EXPECT_TRUE(LoadConfigurationFromRegistry(store, read));
    EXPECT_EQ(read, written);
}

TEST_F(FileStoreTest, CorruptFileLoadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
    const std::string corrupt = "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"SOFTWARE\"\ndword \"x\" 12abc\n";
    test::WriteFile(Machine, corrupt);
    TFileStore store(Machine, User);
    EXPECT_EQ(store.MachineFileState(), TStoreFileState::Corrupt);
    EXPECT_FALSE(store.KeyExists(TRootKey::LocalMachine, "SOFTWARE"));
    TSettings settings;
    settings.MinBlockSize = 1;
    EXPECT_FALSE(LoadConfigurationFromRegistry(store, settings));
    EXPECT_EQ(settings, TSettings{});

    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon");
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->WriteDword("Writer", 1));
    EXPECT_EQ(test::ReadFile(Machine + ".corrupt"), corrupt);
    EXPECT_EQ(TFileStore(Machine, User).MachineFileState(), TStoreFileState::Loaded);
}

TEST_F(FileStoreTest, MalformedTextsAreRejectedWhole) {
    const char* bad[] = {
        "",
        "DRAVON-STORE 2\n",
        "DRAVON-STORE 1",                                              // no line end
        "DRAVON-STORE 1\ndword \"a\" 1\n",                             // value before any key
        "DRAVON-STORE 1\nkey HKEY_USERS \"x\"\n",                      // unknown root
        "DRAVON-STORE 1\nkey HKEY_CURRENT_USER \"x\"\n",               // root of the other file
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\ndword \"a\" 1\n", // unterminated
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\"\ndword \"a\" 4294967296\n",
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\"\nstring \"a\" \"\\q\"\n",
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\"\nstring \"a\" \"\\x4\"\n",
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\"\nstring \"a\" \"b\" trailing\n",
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\"\ndword \"a\" 1\ndword \"A\" 2\n",
        "DRAVON-STORE 1\nkey HKEY_LOCAL_MACHINE \"x\"\nbinary \"a\" 00\n",
    };
    for (const char* text : bad) {
        TMemoryStore store;
        store.OpenKey(TRootKey::LocalMachine, "kept");
        EXPECT_FALSE(TFileStore::Parse(text, store, {TRootKey::LocalMachine, TRootKey::ClassesRoot})) << text;
        EXPECT_TRUE(store.KeyExists(TRootKey::LocalMachine, "kept")) << text;
    }
    TMemoryStore store;
    EXPECT_TRUE(
        TFileStore::Parse("DRAVON-STORE 1\nkey HKEY_CLASSES_ROOT \"A\\\\B\"\nstring \"\" \"\\x41\\\"\"\n",
                          store, {TRootKey::LocalMachine, TRootKey::ClassesRoot}));
    auto key = store.OpenKeyReadOnly(TRootKey::ClassesRoot, "a\\b");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadString(""), "A\"");
}

TEST_F(FileStoreTest, ReadOnlyFileMakesWritesFailAndLeavesMemoryAsOnDisk) {
    {
        TFileStore store(Machine, User);
        ASSERT_TRUE(store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings")
                        ->WriteDword("edWaitTime", 7));
    }
    fs::permissions(Machine, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = test::ReadFile(Machine);

    TFileStore store(Machine, User);
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    ASSERT_TRUE(key); // exists: opening does not write
    EXPECT_FALSE(key->WriteDword("edWaitTime", 8));
    EXPECT_EQ(key->ReadDword("edWaitTime"), 7u);
    EXPECT_FALSE(key->WriteDword("new value", 1));
    EXPECT_FALSE(key->ValueExists("new value"));
    EXPECT_FALSE(key->DeleteValue("edWaitTime"));
    EXPECT_FALSE(store.OpenKey(TRootKey::ClassesRoot, "DravonOPC.DA2"));
    EXPECT_FALSE(store.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2"));
    EXPECT_FALSE(store.DeleteKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane"));
    EXPECT_TRUE(store.KeyExists(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings"));

    std::string shown;
    EXPECT_FALSE(
        SaveConfigurationToRegistry(store, TSettings{}, [&](const std::string& text) { shown = text; }));
    EXPECT_EQ(shown, "Unable to modify system registry, please log on with administrator rights");
    EXPECT_EQ(test::ReadFile(Machine), before);
    // The user file is separate and still writable.
    EXPECT_TRUE(store.OpenKey(TRootKey::CurrentUser, "SOFTWARE\\Norvane\\Dravon\\Positions"));
}

TEST_F(FileStoreTest, UnwritableLocationFailsVisiblyAndLeavesNoTemporaryFile) {
    // A regular file where the folder should be: no user, root included, can create it.
    test::WriteFile(Dir.File("blocker"), "x");
    TFileStore store(Dir.File("blocker") + "/machine.store", User);
    EXPECT_FALSE(store.OpenKey(TRootKey::LocalMachine, "SOFTWARE"));
    EXPECT_FALSE(store.KeyExists(TRootKey::LocalMachine, "SOFTWARE"));

    TFileStore good(Machine, User);
    ASSERT_TRUE(good.OpenKey(TRootKey::LocalMachine, "SOFTWARE"));
    for (const auto& entry : fs::directory_iterator(Dir.Path))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(FileStoreTest, RegistrationBesideTheRunningServerIsNotOverwritten) {
    TFileStore server(Machine, User);
    ASSERT_TRUE(server.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon")->WriteDword("Writer", 1));
    {
        // A second process registers while the server runs.
        TFileStore registration(Machine, User);
        ASSERT_TRUE(registration.OpenKey(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
    }
    // The server then saves its settings: its old copy of the classes root must not win.
    ASSERT_TRUE(SaveConfigurationToRegistry(server, TSettings{}, nullptr));
    TFileStore after(Machine, User);
    EXPECT_TRUE(after.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
    EXPECT_TRUE(after.KeyExists(TRootKey::LocalMachine, SettingsKeyPath));
}

TEST_F(FileStoreTest, DeletedKeysStayDeleted) {
    {
        TFileStore store(Machine, User);
        ASSERT_TRUE(store.OpenKey(TRootKey::ClassesRoot, "CLSID\\{X}\\Implemented Categories\\{A}"));
        ASSERT_TRUE(store.OpenKey(TRootKey::ClassesRoot, "CLSID\\{X}\\LocalServer32"));
        EXPECT_TRUE(store.DeleteKey(TRootKey::ClassesRoot, "clsid\\{x}\\implemented categories"));
    }
    TFileStore store(Machine, User);
    EXPECT_FALSE(store.KeyExists(TRootKey::ClassesRoot, "CLSID\\{X}\\Implemented Categories"));
    EXPECT_TRUE(store.KeyExists(TRootKey::ClassesRoot, "CLSID\\{X}\\LocalServer32"));
}

} // namespace
} // namespace dravon
