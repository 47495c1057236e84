// The Windows registry as the core's key-value store: the same roots, key paths, value
// names and kinds (REG_DWORD, REG_SZ) the Linux store files hold. Every write reaches the
// registry at once, so an update batch has nothing to collect; a refused write (no access
// under HKEY_LOCAL_MACHINE) returns false like a store file that cannot be written.
#pragma once

#include "app/KeyValueStore.h"

namespace dravon {

class TWinRegistryStore : public IKeyValueStore {
public:
    std::unique_ptr<IStoreKey> OpenKeyReadOnly(TRootKey root, const std::string& path) override;
    std::unique_ptr<IStoreKey> OpenKey(TRootKey root, const std::string& path) override;
    bool KeyExists(TRootKey root, const std::string& path) override;
    bool DeleteKey(TRootKey root, const std::string& path) override;
};

} // namespace dravon
