#include "app/Registration.h"
#include "app/MemoryStore.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

constexpr const char* Clsid = "{FA72F982-0A03-494D-A52D-0064A9E3E423}";
constexpr const char* AppId = "{A0F97982-8249-479D-90B6-3C1C4194174D}";
constexpr const char* Da10 = "{63D5F430-CFE4-11d1-B2C8-0060083BA1FB}";
constexpr const char* Da20 = "{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
constexpr const char* Title = "Dravon OPC Data Access Server";

std::string StringAt(TMemoryStore& store, const std::string& path, const std::string& name) {
    auto key = store.OpenKeyReadOnly(TRootKey::ClassesRoot, path);
    if (!key) return "<no key " + path + ">";
    return key->ReadString(name).value_or("<no value " + name + ">");
}

TEST(RegistrationTest, RegisterWritesEveryKeyAndValueAndUnregisterRemovesOnlyTheMembership) {
    TMemoryStore store;
    TRegistrationResult result = RegisterServer(store, "DravonOPC.DA2", "/opt/dravon/bin/dravon");
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Message, "Dravon OPC Data Access Server successfully registered.");
    const std::string classKey = std::string("CLSID\\") + Clsid;
    // Key, value name, value, as a client's lookup reads them.
    // clang-format off
    const std::string keys[][3] = {
        {"DravonOPC.DA2", "", Title}, {"DravonOPC.DA2\\Clsid", "", Clsid}, {"DravonOPC.DA2\\Clsid", "AppID", AppId},
        {classKey, "", Title}, {classKey, "AppID", AppId}, {classKey + "\\LocalServer32", "", "/opt/dravon/bin/dravon"},
        {classKey + "\\ProgID", "", "DravonOPC.DA2"}, {"AppID\\dravon", "", Title}, {"AppID\\dravon", "AppID", AppId},
        {std::string("AppID\\") + AppId, "", Title},
        // Category membership as the component categories manager records it.
        {std::string("Component Categories\\") + Da10, "409", Title},
        {std::string("Component Categories\\") + Da20, "409", Title},
    };
    // clang-format on
    for (const auto& [path, name, value] : keys) EXPECT_EQ(StringAt(store, path, name), value) << path;
    auto opc = store.OpenKeyReadOnly(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC");
    ASSERT_TRUE(opc);
    EXPECT_TRUE(opc->ValueNames().empty());
    for (const char* category : {Da10, Da20})
        EXPECT_TRUE(
            store.KeyExists(TRootKey::ClassesRoot, classKey + "\\Implemented Categories\\" + category));
    // Nothing outside the classes root.
    EXPECT_TRUE(store.Root(TRootKey::LocalMachine).SubKeys.empty() &&
                store.Root(TRootKey::CurrentUser).SubKeys.empty());

    result = UnregisterServer(store, "DravonOPC.DA2");
    EXPECT_EQ(std::pair(result.Ok, result.Message),
              std::pair(true, std::string("Dravon OPC Data Access Server succesfully unregistered.")));
    EXPECT_FALSE(store.KeyExists(TRootKey::ClassesRoot, classKey + "\\Implemented Categories"));
    // The keys and the shared category descriptions stay.
    EXPECT_EQ(StringAt(store, classKey + "\\LocalServer32", ""), "/opt/dravon/bin/dravon");
    EXPECT_TRUE(store.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
    EXPECT_TRUE(store.KeyExists(TRootKey::ClassesRoot, std::string("Component Categories\\") + Da20));

    // Registering again rewrites the same keys; a Windows path names the AppID key by the file alone.
    const std::size_t keyCount = store.Root(TRootKey::ClassesRoot).SubKeys.size();
    ASSERT_TRUE(RegisterServer(store, "DravonOPC.DA2", "C:\\Dravon\\dravon.exe").Ok);
    EXPECT_EQ(StringAt(store, "AppID\\dravon.exe", "AppID"), AppId);
    EXPECT_EQ(store.Root(TRootKey::ClassesRoot).SubKeys.size(), keyCount);
}

TEST(RegistrationTest, FailedWriteIsReportedNotSwallowed) {
    TMemoryStore store;
    store.WritesFail = true;
    TRegistrationResult result = RegisterServer(store, "DravonOPC.DA2", "/a/dravon");
    EXPECT_EQ(std::pair(result.Ok, result.Message),
              std::pair(false, std::string("Dravon OPC Data Access Server registration failed.")));
    EXPECT_NE(result.Error.find("DravonOPC.DA2"), std::string::npos);
    EXPECT_FALSE(ProbeWriteAccess(store));
    // Silent except for REGSERVER.
    TComServerStart start = InitializeComServer(store, TStartMode::StandAlone, "/a/dravon");
    EXPECT_FALSE(start.WriteAccess || start.RegistrationFailed);
    start = InitializeComServer(store, TStartMode::RegisterClass, "/a/dravon");
    EXPECT_TRUE(start.EndProcess && start.RegistrationFailed);

    TMemoryStore registered;
    ASSERT_TRUE(RegisterServer(registered, "DravonOPC.DA2", "/a/dravon").Ok);
    registered.WritesFail = true;
    TRegistrationResult removal = UnregisterServer(registered, "DravonOPC.DA2");
    EXPECT_EQ(std::pair(removal.Ok, removal.Message),
              std::pair(false, std::string("Dravon OPC Data Access Server unregistration failed.")));
}

TEST(RegistrationTest, ComStartProbesAndRefreshesTheClass) {
    TMemoryStore store;
    TComServerStart start = InitializeComServer(store, TStartMode::StandAlone, "/a/dravon");
    EXPECT_TRUE(start.WriteAccess && !start.EndProcess);
    auto probe = store.OpenKeyReadOnly(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon");
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->ReadDword("Writer"), 1u);
    EXPECT_EQ(StringAt(store, std::string("CLSID\\") + Clsid + "\\LocalServer32", "") + " " +
                  StringAt(store, "DravonOPC.DA2\\Clsid", "") + " " +
                  StringAt(store, std::string("CLSID\\") + Clsid, "AppID") + " " +
                  StringAt(store, std::string("AppID\\") + AppId, ""),
              std::string("/a/dravon ") + Clsid + " " + AppId + " " + Title);

    start = InitializeComServer(store, TStartMode::UnregisterClass, "/a/dravon");
    EXPECT_TRUE(start.EndProcess);
    for (const std::string& gone :
         {std::string("CLSID\\") + Clsid, std::string("DravonOPC.DA2"), std::string("AppID\\") + AppId})
        EXPECT_FALSE(store.KeyExists(TRootKey::ClassesRoot, gone)) << gone;

    // A class that cannot be removed is no failure to report: only REGSERVER's is.
    struct TLocked : TMemoryStore {
        bool Locked = false;
        bool CanWrite(TRootKey root) override { return !Locked || root != TRootKey::ClassesRoot; }
    } locked;
    ASSERT_TRUE(InitializeComServer(locked, TStartMode::StandAlone, "/a/dravon").WriteAccess);
    locked.Locked = true;
    start = InitializeComServer(locked, TStartMode::UnregisterClass, "/a/dravon");
    EXPECT_TRUE(start.WriteAccess && start.EndProcess && !start.RegistrationFailed);
}

} // namespace
} // namespace dravon
