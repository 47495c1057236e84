// An in-memory key-value store. The file-backed store loads into one and writes it back;
// tests use it directly. Key paths and value names compare case-insensitively, as
// registry paths do; lookups are map searches on the upper-cased name.
#pragma once

#include "app/KeyValueStore.h"

#include <array>
#include <map>
#include <optional>
#include <string_view>
#include <variant>

namespace dravon {

class TMemoryStore : public IKeyValueStore {
public:
    using TValue = std::variant<std::uint32_t, std::string>;
    struct TNamedValue {
        std::string Name; // as first written
        TValue Value;
    };
    struct TKey {
        std::map<std::string, TNamedValue> Values; // keyed by upper-cased name
        std::map<std::string, TKey> SubKeys;       // keyed by upper-cased name
        std::string Name;                          // as first created
    };
    // One change, in a form that can be replayed on another copy of the tree (the file as
    // another process left it).
    struct TChange {
        enum TKind { SetValue, DeleteValue, CreateKey, DeleteKey } Kind = SetValue;
        TRootKey Root = TRootKey::LocalMachine;
        std::string Path;
        std::string Name;
        TValue Value;
    };

    std::unique_ptr<IStoreKey> OpenKeyReadOnly(TRootKey root, const std::string& path) override;
    std::unique_ptr<IStoreKey> OpenKey(TRootKey root, const std::string& path) override;
    bool KeyExists(TRootKey root, const std::string& path) override;
    bool DeleteKey(TRootKey root, const std::string& path) override;
    void BeginUpdate() override;
    bool EndUpdate() override;

    // While true every write fails (a read-only store file, missing rights).
    bool WritesFail = false;

    TKey& Root(TRootKey root) { return Roots_[static_cast<int>(root)]; }
    const TKey& Root(TRootKey root) const { return Roots_[static_cast<int>(root)]; }
    void Clear();

    // Makes one change in this tree; a value or key below missing keys creates them.
    // False when there was nothing to delete.
    bool Apply(const TChange& change);
    static std::string Upper(std::string_view text);

    // Internal to the store's keys: whether this root can be changed now, and the record
    // of a change just made.
    bool ChangeAllowed(TRootKey root) { return !WritesFail && CanWrite(root); }
    bool Changed(TChange change);
    TKey* Find(TRootKey root, std::string_view path, bool create);
    // Changes whenever keys may have been freed or replaced: open keys look theirs up again.
    std::uint64_t Generation() const { return Generation_; }

protected:
    virtual bool CanWrite(TRootKey root) {
        (void)root;
        return true;
    }
    // Stores the changes of one update (or one change made outside an update). False
    // makes the write fail; the changes are then undone in memory.
    virtual bool Commit(const std::vector<TChange>& changes) {
        (void)changes;
        return true;
    }
    // Set by a store whose Commit can fail: the tree is kept from before an update's first
    // change, to undo it.
    bool KeepsUndo_ = false;
    void KeysReplaced() { ++Generation_; }

private:
    bool Flush();

    std::array<TKey, 3> Roots_;
    int UpdateDepth_ = 0;
    std::vector<TChange> Pending_;
    std::optional<std::array<TKey, 3>> Undo_;
    std::uint64_t Generation_ = 0;
};

} // namespace dravon
