#include "app/Registration.h"

#include "app/KeyValueStore.h"

namespace dravon {

namespace {

constexpr std::size_t CategoryDescriptionLimit = 127;

std::string FileNameOf(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One key opened with creation, one value written, key closed: the failure names the place.
bool WriteString(IKeyValueStore& store, const std::string& path, const std::string& name,
                 const std::string& value, std::string& error) {
    auto key = store.OpenKey(TRootKey::ClassesRoot, path);
    if (!key) {
        error = "Unable to open key HKEY_CLASSES_ROOT\\" + path;
        return false;
    }
    if (!key->WriteString(name, value)) {
        error = "Unable to write value \"" + name + "\" of HKEY_CLASSES_ROOT\\" + path;
        return false;
    }
    return true;
}

bool CreateKey(IKeyValueStore& store, const std::string& path, std::string& error) {
    if (store.OpenKey(TRootKey::ClassesRoot, path)) return true;
    error = "Unable to open key HKEY_CLASSES_ROOT\\" + path;
    return false;
}

// The store records categories as the component categories manager does.
class TStoreCategories : public ICategoryRegistrar {
public:
    explicit TStoreCategories(IKeyValueStore& store) : Store_(store) {}

    // The category's key with the description under the locale's name.
    bool RegisterCategory(const std::string& catid, const std::string& description) override {
        std::string error;
        return WriteString(Store_, "Component Categories\\" + catid, CategoryLocaleName,
                           description.substr(0, CategoryDescriptionLimit), error);
    }

    bool RegisterClassImplemented(const std::string& clsid, const std::string& catid) override {
        std::string error;
        return CreateKey(Store_, "CLSID\\" + clsid + "\\Implemented Categories\\" + catid, error);
    }

    bool UnregisterClassImplemented(const std::string& clsid, const std::string& catid) override {
        const std::string parent = "CLSID\\" + clsid + "\\Implemented Categories";
        const std::string path = parent + "\\" + catid;
        // Removing a membership that is not there is not an error.
        if (Store_.KeyExists(TRootKey::ClassesRoot, path) && !Store_.DeleteKey(TRootKey::ClassesRoot, path))
            return false;
        // The manager leaves no empty "Implemented Categories" key behind.
        auto rest = Store_.OpenKeyReadOnly(TRootKey::ClassesRoot, parent);
        if (rest && rest->SubKeyNames().empty() && rest->ValueNames().empty()) {
            rest.reset();
            Store_.DeleteKey(TRootKey::ClassesRoot, parent);
        }
        return true;
    }

private:
    IKeyValueStore& Store_;
};

} // namespace

TRegistrationResult RegisterServer(IKeyValueStore& store, const std::string& progId,
                                   const std::string& executablePath, ICategoryRegistrar* categories) {
    TStoreCategories storeCategories(store);
    ICategoryRegistrar& manager = categories ? *categories : storeCategories;
    TRegistrationResult result;
    // Every key of the registration reaches the file in one write, or none does.
    TStoreUpdate update(store);
    const std::string description = ServerDescription;
    const std::string classKey = std::string("CLSID\\") + ServerClassID;
    std::string& error = result.Error;
    bool keysWritten =
        WriteString(store, progId, "", description, error) &&
        WriteString(store, progId + "\\Clsid", "", ServerClassID, error) &&
        WriteString(store, progId + "\\Clsid", "AppID", ServerAppID, error) &&
        CreateKey(store, progId + "\\OPC", error) && WriteString(store, classKey, "", description, error) &&
        WriteString(store, classKey, "AppID", ServerAppID, error) &&
        WriteString(store, classKey + "\\LocalServer32", "", executablePath, error) &&
        WriteString(store, classKey + "\\ProgID", "", progId, error) &&
        WriteString(store, "AppID\\" + FileNameOf(executablePath), "", description, error) &&
        WriteString(store, "AppID\\" + FileNameOf(executablePath), "AppID", ServerAppID, error) &&
        WriteString(store, std::string("AppID\\") + ServerAppID, "", description, error);
    if (keysWritten) {
        bool ok = manager.RegisterCategory(CATID_OPCDAServer10, description);
        ok = manager.RegisterClassImplemented(ServerClassID, CATID_OPCDAServer10) && ok;
        ok = manager.RegisterCategory(CATID_OPCDAServer20, description) && ok;
        ok = manager.RegisterClassImplemented(ServerClassID, CATID_OPCDAServer20) && ok;
        result.Ok = ok;
        if (!ok) error = "Unable to record the OPC Data Access category membership";
    }
    if (!update.Commit() && result.Ok) {
        result.Ok = false;
        error = "Unable to write the registration to the store";
    }
    result.Message = description + (result.Ok ? " successfully registered." : " registration failed.");
    return result;
}

TRegistrationResult UnregisterServer(IKeyValueStore& store, const std::string& progId,
                                     ICategoryRegistrar* categories) {
    (void)progId; // the keys stay; only the class's category membership goes
    TStoreCategories storeCategories(store);
    ICategoryRegistrar& manager = categories ? *categories : storeCategories;
    TRegistrationResult result;
    TStoreUpdate update(store);
    bool ok = manager.UnregisterClassImplemented(ServerClassID, CATID_OPCDAServer10);
    ok = manager.UnregisterClassImplemented(ServerClassID, CATID_OPCDAServer20) && ok;
    ok = update.Commit() && ok;
    result.Ok = ok;
    if (!ok) result.Error = "Unable to remove the OPC Data Access category membership";
    result.Message =
        std::string(ServerDescription) + (ok ? " succesfully unregistered." : " unregistration failed.");
    return result;
}

bool ProbeWriteAccess(IKeyValueStore& store) {
    auto key = store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon");
    return key && key->WriteDword("Writer", 1);
}

bool RegisterServerClass(IKeyValueStore& store, const std::string& executablePath) {
    const std::string classKey = std::string("CLSID\\") + ServerClassID;
    std::string error;
    return WriteString(store, classKey, "", ServerDescription, error) &&
           WriteString(store, classKey, "AppID", ServerAppID, error) &&
           WriteString(store, classKey + "\\LocalServer32", "", executablePath, error) &&
           WriteString(store, classKey + "\\ProgID", "", ServerProgID, error) &&
           WriteString(store, ServerProgID, "", ServerDescription, error) &&
           WriteString(store, std::string(ServerProgID) + "\\Clsid", "", ServerClassID, error) &&
           WriteString(store, std::string("AppID\\") + ServerAppID, "", ServerDescription, error);
}

bool UnregisterServerClass(IKeyValueStore& store) {
    bool ok = true;
    for (const std::string& path : {std::string("CLSID\\") + ServerClassID, std::string(ServerProgID),
                                    std::string("AppID\\") + ServerAppID})
        if (store.KeyExists(TRootKey::ClassesRoot, path))
            ok = store.DeleteKey(TRootKey::ClassesRoot, path) && ok;
    return ok;
}

TComServerStart InitializeComServer(IKeyValueStore& store, TStartMode mode,
                                    const std::string& executablePath) {
    TComServerStart start;
    start.WriteAccess = ProbeWriteAccess(store);
    if (start.WriteAccess) {
        TStoreUpdate update(store);
        bool ok = mode == TStartMode::UnregisterClass ? UnregisterServerClass(store)
                                                      : RegisterServerClass(store, executablePath);
        ok = update.Commit() && ok;
        start.RegistrationFailed = !ok && mode == TStartMode::RegisterClass;
    } else if (mode == TStartMode::RegisterClass) {
        // Without write access the refresh is skipped; only an explicit REGSERVER says so.
        start.RegistrationFailed = true;
    }
    start.EndProcess = mode == TStartMode::RegisterClass || mode == TStartMode::UnregisterClass;
    return start;
}

} // namespace dravon
