#include "app/Settings.h"

#include "app/KeyValueStore.h"

namespace dravon {

namespace {

struct TSettingField {
    const char* Name;
    bool TSettings::*Flag;
    int TSettings::*Number;
};

// Storage order is also the reading and writing order.
constexpr TSettingField SettingFields[] = {
    {"Show tray icon", &TSettings::ShowTrayIcon, nullptr},
    {"Allow browsing PLC variables", &TSettings::AllowBrowsing, nullptr},
    {"Create log file (Dravon.log)", &TSettings::LogEvents, nullptr},
    {"Enable UNCERTAIN quality", &TSettings::EnableUncertain, nullptr},
    {"Enable BAD quality", &TSettings::EnableBAD, nullptr},
    {"cbDoSerialSpy", &TSettings::DoSerialSpy, nullptr},
    {"cbForcedOnChange", &TSettings::ForcedOnChange, nullptr},
    {"cbOnChangeAlwaysTrueForStrings", &TSettings::OnChangeAlwaysTrueForStrings, nullptr},
    {"cbSlowDownVisual", &TSettings::SlowDownVisual, nullptr},
    {"cbUDPPortSame", &TSettings::UDPPortSame, nullptr},
    {"cbDisableBinaryMode", &TSettings::DisableBinaryMode, nullptr},
    {"cbQualityIndependetSyncRead", &TSettings::QualityIndependentSyncRead, nullptr},
    {"cbDetectIntensiveBrowsing", &TSettings::DetectIntensiveBrowsing, nullptr},
    {"edArrayElementCount", nullptr, &TSettings::ArrayElementCount},
    {"edMinBlockSize", nullptr, &TSettings::MinBlockSize},
    {"edMinBlockUsage", nullptr, &TSettings::MinBlockUsage},
    {"edMsgCountBeforeWait", nullptr, &TSettings::MsgCountBeforeWait},
    {"edWaitTime", nullptr, &TSettings::WaitTime},
    {"edBusyRetries", nullptr, &TSettings::BusyRetries},
};

} // namespace

bool LoadConfigurationFromRegistry(IKeyValueStore& store, TSettings& settings) {
    settings = TSettings{};
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, SettingsKeyPath);
    if (!key) return false;
    for (const auto& field : SettingFields) {
        auto value = key->ReadDword(field.Name);
        if (!value) break;
        if (field.Flag)
            settings.*field.Flag = *value != 0;
        else
            settings.*field.Number = static_cast<int>(*value);
    }
    return true;
}

bool SaveConfigurationToRegistry(IKeyValueStore& store, const TSettings& settings,
                                 const std::function<void(const std::string&)>& showMessage) {
    // The nineteen values reach the file in one write.
    TStoreUpdate update(store);
    auto key = store.OpenKey(TRootKey::LocalMachine, SettingsKeyPath);
    if (!key) return false;
    bool ok = true;
    for (const auto& field : SettingFields) {
        std::uint32_t value = field.Flag ? (settings.*field.Flag ? 1u : 0u)
                                         : static_cast<std::uint32_t>(settings.*field.Number);
        if (!key->WriteDword(field.Name, value)) {
            ok = false;
            break;
        }
    }
    key.reset();
    ok = update.Commit() && ok;
    if (!ok && showMessage) showMessage(RegistryWriteFailedMessage);
    return ok;
}

namespace {
constexpr std::pair<const char*, int TPositions::*> PositionReadOrder[] = {
    {"Splitter1W", &TPositions::Splitter1W},
    {"Splitter2H", &TPositions::Splitter2H},
    {"frmW", &TPositions::frmW},
    {"frmH", &TPositions::frmH},
    {"frmT", &TPositions::frmT},
    {"frmL", &TPositions::frmL},
    {"frmState", &TPositions::frmState},
};
constexpr std::pair<const char*, int TPositions::*> PositionWriteOrder[] = {
    {"Splitter1W", &TPositions::Splitter1W},
    {"Splitter2H", &TPositions::Splitter2H},
    {"frmState", &TPositions::frmState},
    {"frmW", &TPositions::frmW},
    {"frmH", &TPositions::frmH},
    {"frmT", &TPositions::frmT},
    {"frmL", &TPositions::frmL},
};
} // namespace

int LoadPositions(IKeyValueStore& store, TPositions& positions) {
    auto key = store.OpenKeyReadOnly(TRootKey::CurrentUser, PositionsKeyPath);
    if (!key) return -1;
    auto first = key->ReadDword("FirstStart");
    positions.FirstStart = first ? *first != 0 : true;
    int read = 0;
    for (const auto& [name, field] : PositionReadOrder) {
        auto value = key->ReadDword(name);
        if (!value) break;
        positions.*field = static_cast<int>(static_cast<std::int32_t>(*value));
        ++read;
    }
    return read;
}

bool SavePositions(IKeyValueStore& store, const TPositions& positions, bool startedByClient) {
    TStoreUpdate update(store);
    auto key = store.OpenKey(TRootKey::CurrentUser, PositionsKeyPath);
    if (!key) return false;
    bool ok = true;
    for (const auto& [name, field] : PositionWriteOrder)
        ok = ok && key->WriteDword(name, static_cast<std::uint32_t>(positions.*field));
    if (ok && !startedByClient) ok = key->WriteDword("FirstStart", 0);
    key.reset();
    return update.Commit() && ok;
}

} // namespace dravon
