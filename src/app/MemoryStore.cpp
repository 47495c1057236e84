#include "app/MemoryStore.h"

#include <algorithm>
#include <cctype>
#include <utility>

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
    TMemoryKey(TMemoryStore& store, TRootKey root, TMemoryStore::TKey& key, bool writable)
        : Store_(store), Root_(root), Key_(key), Writable_(writable) {}

    TValueKind KindOf(const std::string& name) const override {
        auto it = Lookup(name);
        if (it == Key_.Values.end()) return TValueKind::None;
        return std::holds_alternative<std::uint32_t>(it->second) ? TValueKind::Dword : TValueKind::String;
    }
    std::optional<std::uint32_t> ReadDword(const std::string& name) const override {
        auto it = Lookup(name);
        if (it == Key_.Values.end() || !std::holds_alternative<std::uint32_t>(it->second))
            return std::nullopt;
        return std::get<std::uint32_t>(it->second);
    }
    std::optional<std::string> ReadString(const std::string& name) const override {
        auto it = Lookup(name);
        if (it == Key_.Values.end() || !std::holds_alternative<std::string>(it->second)) return std::nullopt;
        return std::get<std::string>(it->second);
    }
    bool WriteDword(const std::string& name, std::uint32_t value) override { return Write(name, value); }
    bool WriteString(const std::string& name, const std::string& value) override {
        return Write(name, value);
    }
    bool DeleteValue(const std::string& name) override {
        if (!Writable_ || Store_.WritesFail) return false;
        auto it = Lookup(name);
        if (it == Key_.Values.end()) return false;
        auto node = Key_.Values.extract(it);
        if (!Store_.Changed(Root_)) {
            Key_.Values.insert(std::move(node));
            return false;
        }
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
        if (it != Key_.Values.end()) {
            TMemoryStore::TValue old = std::exchange(it->second, std::move(value));
            if (!Store_.Changed(Root_)) {
                it->second = std::move(old);
                return false;
            }
        } else {
            it = Key_.Values.emplace(name, std::move(value)).first;
            if (!Store_.Changed(Root_)) {
                Key_.Values.erase(it);
                return false;
            }
        }
        return true;
    }

    TMemoryStore& Store_;
    TRootKey Root_;
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
    return std::make_unique<TMemoryKey>(*this, root, *key, false);
}

std::unique_ptr<IStoreKey> TMemoryStore::OpenKey(TRootKey root, const std::string& path) {
    TKey* existing = Find(root, path, false);
    if (!existing) {
        if (WritesFail) return nullptr;
        // Remember the first level that did not exist, to undo the creation.
        TKey* parent = &Root(root);
        std::string firstNew;
        for (const auto& part : SplitPath(path)) {
            auto it = parent->SubKeys.find(Upper(part));
            if (it == parent->SubKeys.end()) {
                firstNew = Upper(part);
                break;
            }
            parent = &it->second;
        }
        existing = Find(root, path, true);
        if (!Changed(root)) {
            parent->SubKeys.erase(firstNew);
            return nullptr;
        }
    }
    return std::make_unique<TMemoryKey>(*this, root, *existing, true);
}

bool TMemoryStore::KeyExists(TRootKey root, const std::string& path) {
    return Find(root, path, false) != nullptr;
}

bool TMemoryStore::DeleteKey(TRootKey root, const std::string& path) {
    if (WritesFail) return false;
    auto parts = SplitPath(path);
    if (parts.empty()) return false;
    std::string last = Upper(parts.back());
    parts.pop_back();
    std::string parentPath;
    for (const auto& part : parts) parentPath += part + "\\";
    TKey* parent = Find(root, parentPath, false);
    if (!parent) return false;
    auto node = parent->SubKeys.extract(last);
    if (node.empty()) return false;
    if (!Changed(root)) {
        parent->SubKeys.insert(std::move(node));
        return false;
    }
    return true;
}

void TMemoryStore::Clear() {
    for (auto& root : Roots_) root = TKey{};
}

} // namespace dravon
