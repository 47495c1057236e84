#include "app/MemoryStore.h"

#include <algorithm>
#include <cctype>

namespace dravon {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

class TMemoryKey : public IStoreKey {
public:
    TMemoryKey(TMemoryStore& store, TMemoryStore::TKey& key, bool writable)
        : Store_(store), Key_(key), Writable_(writable) {}

    TValueKind KindOf(const std::string& name) const override {
        auto it = Lookup(name);
        if (it == Key_.Values.end()) return TValueKind::None;
        return std::holds_alternative<std::uint32_t>(it->second) ? TValueKind::Dword : TValueKind::String;
    }
    std::optional<std::uint32_t> ReadDword(const std::string& name) const override {
        auto it = Lookup(name);
        if (it == Key_.Values.end() || !std::holds_alternative<std::uint32_t>(it->second)) return std::nullopt;
        return std::get<std::uint32_t>(it->second);
    }
    std::optional<std::string> ReadString(const std::string& name) const override {
        auto it = Lookup(name);
        if (it == Key_.Values.end() || !std::holds_alternative<std::string>(it->second)) return std::nullopt;
        return std::get<std::string>(it->second);
    }
    bool WriteDword(const std::string& name, std::uint32_t value) override { return Write(name, value); }
    bool WriteString(const std::string& name, const std::string& value) override { return Write(name, value); }
    bool DeleteValue(const std::string& name) override {
        if (!Writable_ || Store_.WritesFail) return false;
        auto it = Lookup(name);
        if (it == Key_.Values.end()) return false;
        Key_.Values.erase(it);
        Store_.Changed();
        return true;
    }
    std::vector<std::string> ValueNames() const override {
        std::vector<std::string> names;
        for (const auto& [name, value] : Key_.Values) names.push_back(name);
        return names;
    }
    std::vector<std::string> SubKeyNames() const override {
        std::vector<std::string> names;
        for (const auto& [upper, key] : Key_.SubKeys) names.push_back(key.Name);
        return names;
    }

private:
    std::map<std::string, TMemoryStore::TValue>::iterator Lookup(const std::string& name) const {
        std::string upper = Upper(name);
        return std::find_if(Key_.Values.begin(), Key_.Values.end(),
                            [&](const auto& entry) { return Upper(entry.first) == upper; });
    }
    bool Write(const std::string& name, TMemoryStore::TValue value) {
        if (!Writable_ || Store_.WritesFail) return false;
        auto it = Lookup(name);
        if (it != Key_.Values.end()) it->second = std::move(value);
        else Key_.Values.emplace(name, std::move(value));
        Store_.Changed();
        return true;
    }

    TMemoryStore& Store_;
    TMemoryStore::TKey& Key_;
    bool Writable_;
};

} // namespace

TMemoryStore::TKey* TMemoryStore::Find(TRootKey root, const std::string& path, bool create) {
    TKey* key = &Root(root);
    for (const auto& part : SplitPath(path)) {
        std::string upper = Upper(part);
        auto it = key->SubKeys.find(upper);
        if (it == key->SubKeys.end()) {
            if (!create) return nullptr;
            it = key->SubKeys.emplace(upper, TKey{}).first;
            it->second.Name = part;
        }
        key = &it->second;
    }
    return key;
}

std::unique_ptr<IStoreKey> TMemoryStore::OpenKeyReadOnly(TRootKey root, const std::string& path) {
    TKey* key = Find(root, path, false);
    if (!key) return nullptr;
    return std::make_unique<TMemoryKey>(*this, *key, false);
}

std::unique_ptr<IStoreKey> TMemoryStore::OpenKey(TRootKey root, const std::string& path) {
    TKey* existing = Find(root, path, false);
    if (!existing) {
        if (WritesFail) return nullptr;
        existing = Find(root, path, true);
        Changed();
    }
    return std::make_unique<TMemoryKey>(*this, *existing, true);
}

bool TMemoryStore::KeyExists(TRootKey root, const std::string& path) { return Find(root, path, false) != nullptr; }

bool TMemoryStore::DeleteKey(TRootKey root, const std::string& path) {
    if (WritesFail) return false;
    auto parts = SplitPath(path);
    if (parts.empty()) return false;
    std::string last = Upper(parts.back());
    parts.pop_back();
    std::string parentPath;
    for (const auto& part : parts) parentPath += part + "\\";
    TKey* parent = Find(root, parentPath, false);
    if (!parent || parent->SubKeys.erase(last) == 0) return false;
    Changed();
    return true;
}

void TMemoryStore::Clear() {
    for (auto& root : Roots_) root = TKey{};
}

} // namespace dravon
