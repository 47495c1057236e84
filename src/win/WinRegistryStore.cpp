#include "win/WinRegistryStore.h"

#include "win/WinText.h"

#include <windows.h>

namespace dravon {

namespace {

HKEY RootHandle(TRootKey root) {
    switch (root) {
    case TRootKey::LocalMachine: return HKEY_LOCAL_MACHINE;
    case TRootKey::CurrentUser: return HKEY_CURRENT_USER;
    case TRootKey::ClassesRoot: return HKEY_CLASSES_ROOT;
    }
    return HKEY_CURRENT_USER;
}

class TRegistryKey : public IStoreKey {
public:
    TRegistryKey(HKEY key, bool writable) : Key_(key), Writable_(writable) {}
    ~TRegistryKey() override { RegCloseKey(Key_); }
    TRegistryKey(const TRegistryKey&) = delete;
    TRegistryKey& operator=(const TRegistryKey&) = delete;

    TValueKind KindOf(const std::string& name) const override {
        DWORD type = 0;
        if (RegQueryValueExW(Key_, Widen(name).c_str(), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
            return TValueKind::None;
        if (type == REG_DWORD) return TValueKind::Dword;
        if (type == REG_SZ || type == REG_EXPAND_SZ) return TValueKind::String;
        return TValueKind::None;
    }

    std::optional<std::uint32_t> ReadDword(const std::string& name) const override {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExW(Key_, Widen(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size) != ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof value)
            return std::nullopt;
        return value;
    }

    std::optional<std::string> ReadString(const std::string& name) const override {
        const std::wstring wideName = Widen(name);
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD type = 0;
            DWORD size = 0;
            if (RegQueryValueExW(Key_, wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
                (type != REG_SZ && type != REG_EXPAND_SZ))
                return std::nullopt;
            std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
            DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
            const LONG result = RegQueryValueExW(Key_, wideName.c_str(), nullptr, &type,
                                                 reinterpret_cast<BYTE*>(text.data()), &got);
            if (result == ERROR_MORE_DATA) continue; // grew in between
            if (result != ERROR_SUCCESS) return std::nullopt;
            // The stored text may or may not carry its terminating zero.
            text.resize(got / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') text.pop_back();
            return Narrow(text);
        }
        return std::nullopt;
    }

    bool WriteDword(const std::string& name, std::uint32_t value) override {
        if (!Writable_) return false;
        const DWORD data = value;
        return RegSetValueExW(Key_, Widen(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                              sizeof data) == ERROR_SUCCESS;
    }

    bool WriteString(const std::string& name, const std::string& value) override {
        if (!Writable_) return false;
        const std::wstring text = Widen(value);
        return RegSetValueExW(Key_, Widen(name).c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    bool DeleteValue(const std::string& name) override {
        if (!Writable_) return false;
        return RegDeleteValueW(Key_, Widen(name).c_str()) == ERROR_SUCCESS;
    }

    std::vector<std::string> ValueNames() const override { return Names(false); }
    std::vector<std::string> SubKeyNames() const override { return Names(true); }

private:
    std::vector<std::string> Names(bool subKeys) const {
        std::vector<std::string> names;
        // Registry names are at most 16383 characters (values) or 255 (keys).
        std::wstring name(16384, L'\0');
        for (DWORD index = 0;; ++index) {
            DWORD length = static_cast<DWORD>(name.size());
            const LONG result =
                subKeys
                    ? RegEnumKeyExW(Key_, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr)
                    : RegEnumValueW(Key_, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (result != ERROR_SUCCESS) break;
            names.push_back(Narrow(name.data(), length));
        }
        return names;
    }

    HKEY Key_;
    bool Writable_;
};

} // namespace

std::unique_ptr<IStoreKey> TWinRegistryStore::OpenKeyReadOnly(TRootKey root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(RootHandle(root), Widen(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<TRegistryKey>(key, false);
}

std::unique_ptr<IStoreKey> TWinRegistryStore::OpenKey(TRootKey root, const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(RootHandle(root), Widen(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<TRegistryKey>(key, true);
}

bool TWinRegistryStore::KeyExists(TRootKey root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(RootHandle(root), Widen(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool TWinRegistryStore::DeleteKey(TRootKey root, const std::string& path) {
    // Never the root itself: an empty path would empty the whole hive. A missing key is a
    // failure, as in the other stores.
    if (path.empty()) return false;
    const LONG result = RegDeleteTreeW(RootHandle(root), Widen(path).c_str());
    return result == ERROR_SUCCESS;
}

} // namespace dravon
