// An in-memory key-value store. The file-backed store loads into one and writes it back;
// tests use it directly. Key paths compare case-insensitively, as registry paths do.
#pragma once

#include "app/KeyValueStore.h"

#include <map>
#include <variant>

namespace dravon {

class TMemoryStore : public IKeyValueStore {
public:
    using TValue = std::variant<std::uint32_t, std::string>;
    struct TKey {
        std::map<std::string, TValue> Values; // name as written; looked up case-insensitively
        std::map<std::string, TKey> SubKeys;  // keyed by upper-cased name
        std::string Name;                     // as first created
    };

    std::unique_ptr<IStoreKey> OpenKeyReadOnly(TRootKey root, const std::string& path) override;
    std::unique_ptr<IStoreKey> OpenKey(TRootKey root, const std::string& path) override;
    bool KeyExists(TRootKey root, const std::string& path) override;
    bool DeleteKey(TRootKey root, const std::string& path) override;

    // While true every write fails (a read-only store file, missing rights).
    bool WritesFail = false;
    // Called after every change of the given root, so a backing file can be rewritten.
    // Returning false undoes the change and makes the write fail for the caller.
    virtual bool Changed(TRootKey root) {
        (void)root;
        return true;
    }

    TKey& Root(TRootKey root) { return Roots_[static_cast<int>(root)]; }
    const TKey& Root(TRootKey root) const { return Roots_[static_cast<int>(root)]; }
    void Clear();

private:
    TKey* Find(TRootKey root, const std::string& path, bool create);
    TKey Roots_[3];
};

} // namespace dravon
