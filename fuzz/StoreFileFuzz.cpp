// The store file parser: any bytes either load completely or leave the store untouched,
// and whatever loads writes back to text that parses to the same tree.
#include "app/FileStore.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TMemoryStore store;
    if (!TFileStore::Parse(text, store, {TRootKey::LocalMachine, TRootKey::ClassesRoot})) {
        if (!store.Root(TRootKey::LocalMachine).SubKeys.empty()) std::abort();
        return 0;
    }
    const std::string written = TFileStore::Serialize(store, {TRootKey::LocalMachine, TRootKey::ClassesRoot});
    TMemoryStore again;
    if (!TFileStore::Parse(written, again, {TRootKey::LocalMachine, TRootKey::ClassesRoot})) std::abort();
    if (TFileStore::Serialize(again, {TRootKey::LocalMachine, TRootKey::ClassesRoot}) != written)
        std::abort();
    return 0;
}
