// A registry-like key-value store: three roots, backslash key paths, DWORD and string
// values. Writes can fail and say so; reading a missing key or value never raises.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravon {

enum class TRootKey { LocalMachine, CurrentUser, ClassesRoot };

enum class TValueKind { None, Dword, String };

// An open key. Obtained from IKeyValueStore::OpenKey; valid while the store lives.
class IStoreKey {
public:
    virtual ~IStoreKey() = default;
    virtual TValueKind KindOf(const std::string& name) const = 0;
    virtual bool ValueExists(const std::string& name) const { return KindOf(name) != TValueKind::None; }
    // Empty when missing or of the other kind.
    virtual std::optional<std::uint32_t> ReadDword(const std::string& name) const = 0;
    virtual std::optional<std::string> ReadString(const std::string& name) const = 0;
    // False when the key was opened read-only or the store cannot be written.
    virtual bool WriteDword(const std::string& name, std::uint32_t value) = 0;
    virtual bool WriteString(const std::string& name, const std::string& value) = 0;
    virtual bool DeleteValue(const std::string& name) = 0;
    virtual std::vector<std::string> ValueNames() const = 0;
    virtual std::vector<std::string> SubKeyNames() const = 0;
};

class IKeyValueStore {
public:
    virtual ~IKeyValueStore() = default;
    // Opens an existing key read-only; null when it does not exist.
    virtual std::unique_ptr<IStoreKey> OpenKeyReadOnly(TRootKey root, const std::string& path) = 0;
    // Opens a key for writing, creating it and its parents; null when that is not possible.
    virtual std::unique_ptr<IStoreKey> OpenKey(TRootKey root, const std::string& path) = 0;
    virtual bool KeyExists(TRootKey root, const std::string& path) = 0;
    // Deletes a key with everything below it; false when it could not be deleted.
    virtual bool DeleteKey(TRootKey root, const std::string& path) = 0;

    // Changes between BeginUpdate and EndUpdate reach the backing file in one write, at the
    // outermost EndUpdate; it returns false when that write failed, and the changes are then
    // undone in memory too. An inner EndUpdate returns true: the outer one decides.
    virtual void BeginUpdate() {}
    virtual bool EndUpdate() { return true; }
    // Problems found since the last call (lines skipped in a file, a file kept read-only),
    // one log line each.
    virtual std::vector<std::string> TakeProblems() { return {}; }
};

// One batch of changes: BeginUpdate now, EndUpdate at Commit or at the end of the scope.
class TStoreUpdate {
public:
    explicit TStoreUpdate(IKeyValueStore& store) : Store_(&store) { store.BeginUpdate(); }
    ~TStoreUpdate() {
        if (Store_) Store_->EndUpdate();
    }
    TStoreUpdate(const TStoreUpdate&) = delete;
    TStoreUpdate& operator=(const TStoreUpdate&) = delete;
    bool Commit() {
        IKeyValueStore* store = Store_;
        Store_ = nullptr;
        return store->EndUpdate();
    }

private:
    IKeyValueStore* Store_;
};

} // namespace dravon
