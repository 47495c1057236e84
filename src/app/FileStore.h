// The key-value store backed by two text files: the machine file holds
// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT, the user file HKEY_CURRENT_USER.
//
// Every change rewrites its file through a temporary file and a rename, so a reader (or a
// crash) never sees half a file. A file without owner write permission is read-only, as
// a read-only registry hive is, even for root: writes to its roots fail and the caller
// sees it. A file that cannot be read or parsed loads as empty, so defaults apply; the
// first write keeps the bad file beside the new one as <file>.corrupt.
//
// Another process may write the same file (a registration started beside the running
// server). Roots that it rewrote are written back as they are on disk until this process
// changes them itself, so its work is not overwritten with an old copy. Two processes
// changing the same root: the last writer wins.
//
// File format (text, one record per line, UTF-8 bytes kept as they are but escaped):
//   DRAVON-STORE 1
//   key HKEY_LOCAL_MACHINE "SOFTWARE\\Norvane\\Dravon\\Settings"
//   dword "Show tray icon" 1
//   string "" "default value"
// A key line names a key by its root and full path; the value lines below it belong to
// it. Texts are in double quotes with \\, \" and \xHH (every byte below 0x20, 0x7F and
// above) as the only escapes.
#pragma once

#include "app/MemoryStore.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

enum class TStoreFileState { Missing, Loaded, Corrupt, Unreadable };

class TFileStore : public TMemoryStore {
public:
    static constexpr std::size_t MaxFileSize = 16 * 1024 * 1024;

    TFileStore(std::string machineFile, std::string userFile);

    bool Changed(TRootKey root) override;

    TStoreFileState MachineFileState() const { return Machine_.State; }
    TStoreFileState UserFileState() const { return User_.State; }
    const std::string& MachineFile() const { return Machine_.Path; }
    const std::string& UserFile() const { return User_.Path; }

    // The text of a file holding the given roots of a store.
    static std::string Serialize(const TMemoryStore& store, const std::vector<TRootKey>& roots);
    // Parses text into the store's roots; false (and the store untouched) when any line
    // is malformed or names a root not in `roots`.
    static bool Parse(std::string_view text, TMemoryStore& store, const std::vector<TRootKey>& roots);

private:
    struct TFile {
        std::string Path;
        std::vector<TRootKey> Roots;
        TStoreFileState State = TStoreFileState::Missing;
        // The text as we last read or wrote it: a different text on disk is another
        // process's work (a registration run beside the server).
        std::string KnownText;
        // Roots whose newer version is on disk; this process's copy is older.
        std::set<TRootKey> StaleRoots;
    };
    TStoreFileState Load(TFile& file);
    bool Save(TFile& file, TRootKey changed);

    TFile Machine_;
    TFile User_;
    TStoreFileState MachineState_ = TStoreFileState::Missing;
    TStoreFileState UserState_ = TStoreFileState::Missing;
};

} // namespace dravon
