// The store file parser: any bytes either load (bad lines skipped) or leave the store
// untouched, and whatever loads writes back to text that loads again without a skipped
// line to the same tree. The seed corpus holds a store of thousands of values, so the
// fuzzer's length limit lets inputs grow that large: loading stays linear in time.
#include "support/FuzzInput.h"

#include "app/FileStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    const std::vector<TRootKey> roots{TRootKey::LocalMachine, TRootKey::ClassesRoot};
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TMemoryStore store;
    store.OpenKey(TRootKey::LocalMachine, "kept");
    const TFileStore::TParseResult parsed = TFileStore::Parse(text, store, roots);
    fuzz::Check(parsed.Ok || store.KeyExists(TRootKey::LocalMachine, "kept"));
    if (!parsed.Ok) return 0;
    const std::string written = TFileStore::Serialize(store, roots);
    TMemoryStore again;
    const TFileStore::TParseResult reparsed = TFileStore::Parse(written, again, roots);
    fuzz::Check(reparsed.Ok && reparsed.BadLines.empty() && TFileStore::Serialize(again, roots) == written);
    return 0;
}
