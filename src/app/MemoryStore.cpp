#include "app/MemoryStore.h"

#include <cctype>
#include <utility>

namespace dravon {

namespace {

template <typename F> void ForEachPart(std::string_view path, F each) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) each(path.substr(start, end - start));
        start = end + 1;
    }
}

class TMemoryKey : public IStoreKey {
public:
    TMemoryKey(TMemoryStore& store, TRootKey root, std::string path, TMemoryStore::TKey* key, bool writable)
        : Store_(store), Root_(root), Path_(std::move(path)), Key_(key), Generation_(store.Generation()),
          Writable_(writable) {}

    TValueKind KindOf(const std::string& name) const override {
        const TMemoryStore::TValue* value = Lookup(name);
        if (!value) return TValueKind::None;
        return std::holds_alternative<std::uint32_t>(*value) ? TValueKind::Dword : TValueKind::String;
    }
    std::optional<std::uint32_t> ReadDword(const std::string& name) const override {
        const TMemoryStore::TValue* value = Lookup(name);
        if (!value || !std::holds_alternative<std::uint32_t>(*value)) return std::nullopt;
        return std::get<std::uint32_t>(*value);
    }
    std::optional<std::string> ReadString(const std::string& name) const override {
        const TMemoryStore::TValue* value = Lookup(name);
        if (!value || !std::holds_alternative<std::string>(*value)) return std::nullopt;
        return std::get<std::string>(*value);
    }
    bool WriteDword(const std::string& name, std::uint32_t value) override {
        return Change(TMemoryStore::TChange::SetValue, name, value);
    }
    bool WriteString(const std::string& name, const std::string& value) override {
        return Change(TMemoryStore::TChange::SetValue, name, value);
    }
    bool DeleteValue(const std::string& name) override {
        return Lookup(name) && Change(TMemoryStore::TChange::DeleteValue, name, 0u);
    }
    std::vector<std::string> ValueNames() const override {
        std::vector<std::string> names;
        if (TMemoryStore::TKey* key = Node()) {
            names.reserve(key->Values.size());
            for (const auto& [upper, value] : key->Values) names.push_back(value.Name);
        }
        return names;
    }
    std::vector<std::string> SubKeyNames() const override {
        std::vector<std::string> names;
        if (TMemoryStore::TKey* key = Node())
            for (const auto& [upper, sub] : key->SubKeys) names.push_back(sub.Name);
        return names;
    }

private:
    // The key may have been replaced (another process's version of the file was taken in)
    // or deleted since it was opened: look it up again then.
    TMemoryStore::TKey* Node() const {
        if (Generation_ != Store_.Generation()) {
            Key_ = Store_.Find(Root_, Path_, false);
            Generation_ = Store_.Generation();
        }
        return Key_;
    }
    const TMemoryStore::TValue* Lookup(const std::string& name) const {
        TMemoryStore::TKey* key = Node();
        if (!key) return nullptr;
        auto it = key->Values.find(TMemoryStore::Upper(name));
        return it == key->Values.end() ? nullptr : &it->second.Value;
    }
    bool Change(TMemoryStore::TChange::TKind kind, const std::string& name, TMemoryStore::TValue value) {
        if (!Writable_ || !Node() || !Store_.ChangeAllowed(Root_)) return false;
        return Store_.Changed({kind, Root_, Path_, name, std::move(value)});
    }

    TMemoryStore& Store_;
    TRootKey Root_;
    std::string Path_;
    mutable TMemoryStore::TKey* Key_;
    mutable std::uint64_t Generation_;
    bool Writable_;
};

} // namespace

std::string TMemoryStore::Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

TMemoryStore::TKey* TMemoryStore::Find(TRootKey root, std::string_view path, bool create) {
    TKey* key = &Root(root);
    ForEachPart(path, [&](std::string_view part) {
        if (!key) return;
        std::string upper = Upper(part);
        auto it = key->SubKeys.find(upper);
        if (it == key->SubKeys.end()) {
            if (!create) {
                key = nullptr;
                return;
            }
            it = key->SubKeys.emplace(std::move(upper), TKey{}).first;
            it->second.Name = std::string(part);
        }
        key = &it->second;
    });
    return key;
}

bool TMemoryStore::Apply(const TChange& change) {
    switch (change.Kind) {
    case TChange::SetValue: {
        TKey* key = Find(change.Root, change.Path, true);
        auto [it, added] = key->Values.try_emplace(Upper(change.Name));
        if (added) it->second.Name = change.Name;
        it->second.Value = change.Value;
        return true;
    }
    case TChange::DeleteValue: {
        TKey* key = Find(change.Root, change.Path, false);
        return key && key->Values.erase(Upper(change.Name)) > 0;
    }
    case TChange::CreateKey: Find(change.Root, change.Path, true); return true;
    case TChange::DeleteKey: {
        std::string_view path = change.Path;
        while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
        const std::size_t slash = path.rfind('\\');
        const std::string_view parentPath =
            slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
        const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
        TKey* parent = Find(change.Root, parentPath, false);
        if (last.empty() || !parent || parent->SubKeys.erase(Upper(last)) == 0) return false;
        KeysReplaced();
        return true;
    }
    }
    return false;
}

bool TMemoryStore::Changed(TChange change) {
    if (KeepsUndo_ && !Undo_) Undo_ = Roots_;
    if (!Apply(change)) {
        if (UpdateDepth_ == 0) Flush();
        return false;
    }
    if (KeepsUndo_) Pending_.push_back(std::move(change));
    return UpdateDepth_ > 0 || Flush();
}

bool TMemoryStore::Flush() {
    bool ok = Pending_.empty() || Commit(Pending_);
    if (!ok && Undo_) {
        Roots_ = std::move(*Undo_);
        KeysReplaced();
    }
    Pending_.clear();
    Undo_.reset();
    return ok;
}

void TMemoryStore::BeginUpdate() { ++UpdateDepth_; }

bool TMemoryStore::EndUpdate() {
    if (UpdateDepth_ == 0 || --UpdateDepth_ > 0) return true;
    return Flush();
}

std::unique_ptr<IStoreKey> TMemoryStore::OpenKeyReadOnly(TRootKey root, const std::string& path) {
    TKey* key = Find(root, path, false);
    if (!key) return nullptr;
    return std::make_unique<TMemoryKey>(*this, root, path, key, false);
}

std::unique_ptr<IStoreKey> TMemoryStore::OpenKey(TRootKey root, const std::string& path) {
    if (!Find(root, path, false)) {
        if (!ChangeAllowed(root) || !Changed({TChange::CreateKey, root, path, {}, {}})) return nullptr;
    }
    return std::make_unique<TMemoryKey>(*this, root, path, Find(root, path, false), true);
}

bool TMemoryStore::KeyExists(TRootKey root, const std::string& path) {
    return Find(root, path, false) != nullptr;
}

bool TMemoryStore::DeleteKey(TRootKey root, const std::string& path) {
    if (!ChangeAllowed(root) || !Find(root, path, false)) return false;
    return Changed({TChange::DeleteKey, root, path, {}, {}});
}

void TMemoryStore::Clear() {
    for (auto& root : Roots_) root = TKey{};
    KeysReplaced();
}

} // namespace dravon
