// The key-value store backed by two text files: the machine file holds
// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT, the user file HKEY_CURRENT_USER.
//
// Several programs write the same files (the server saving its settings, registrations
// run beside it, an operator's second program). Every write of a file therefore:
// takes an exclusive flock on <file>.lock, re-reads the file, replays this process's
// changes on what another process left there, writes a uniquely named temporary file,
// fsyncs it, renames it over the file and fsyncs the folder. A reader never sees half a
// file, and no process writes back an old copy of another's values. Changes made between
// BeginUpdate and EndUpdate (a dialog's OK, a registration) are one such write.
//
// Reading accepts what a text editor makes of the file: CRLF line ends, a UTF-8
// byte-order mark, blanks around a line, blank lines, a missing last line end. A bad line
// is skipped and reported (TakeProblems); the rest loads. The first write of such a file
// keeps the original as a numbered copy <file>.corrupt.N. A file that is not a store at
// all, cannot be read or is too large is never overwritten: it stays read-only (writes to
// its roots fail) until the operator mends or removes it. A file without owner write
// permission is read-only as a read-only registry hive is, even for root.
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

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

enum class TStoreFileState {
    Missing,    // no file yet: the first write creates it
    Loaded,     // read completely
    Damaged,    // read except the lines reported; the first write keeps a numbered copy
    Corrupt,    // not a store file (or too large): read-only, left as it is
    Unreadable, // could not be read: read-only, left as it is
};

class TFileStore : public TMemoryStore {
public:
    static constexpr std::size_t MaxFileSize = 16 * 1024 * 1024;
    // Bad lines named one by one per file; the rest are counted in one more line.
    static constexpr std::size_t MaxReportedLines = 20;
    // How long a write waits for another process's write to finish.
    static constexpr int LockWaitMs = 10000;

    // stopRequested is asked now and then while a large file loads; when it answers true
    // the load ends, both files stay read-only and LoadStopped() is true.
    TFileStore(std::string machineFile, std::string userFile, std::function<bool()> stopRequested = {});

    TStoreFileState MachineFileState() const { return Machine_.State; }
    TStoreFileState UserFileState() const { return User_.State; }
    const std::string& MachineFile() const { return Machine_.Path; }
    const std::string& UserFile() const { return User_.Path; }
    bool LoadStopped() const { return Stopped_; }

    bool EndUpdate() override;
    std::vector<std::string> TakeProblems() override;

    struct TBadLine {
        std::size_t Line = 0; // from 1
        std::string Reason;
    };
    struct TParseResult {
        bool Ok = false; // false: not a store file (or stopped); the store is untouched
        bool Stopped = false;
        std::vector<TBadLine> BadLines; // skipped; everything else was loaded
    };

    // The text of a file holding the given roots of a store.
    static std::string Serialize(const TMemoryStore& store, const std::vector<TRootKey>& roots);
    // Parses text into the store's roots (replacing them) unless the text is not a store
    // file. Lines that are malformed or name a root not in `roots` are skipped and listed.
    static TParseResult Parse(std::string_view text, TMemoryStore& store, const std::vector<TRootKey>& roots,
                              const std::function<bool()>& stopRequested = {});

protected:
    bool CanWrite(TRootKey root) override;
    bool Commit(const std::vector<TChange>& changes) override;

private:
    struct TFile {
        std::string Path;
        std::vector<TRootKey> Roots;
        TStoreFileState State = TStoreFileState::Missing;
        // The text as we last read or wrote it: a different text on disk is another
        // process's work, to be read before this process's changes are written.
        std::string KnownText;
        // Whether the file may be written, checked once per batch of changes.
        int WritableChecked = -1;
    };
    TFile& FileOf(TRootKey root) { return root == TRootKey::CurrentUser ? User_ : Machine_; }
    void Load(TFile& file);
    bool Write(TFile& file, const std::vector<TChange>& changes);
    void ReportBadLines(const TFile& file, const std::vector<TBadLine>& lines);

    TFile Machine_;
    TFile User_;
    std::function<bool()> StopRequested_;
    bool Stopped_ = false;
    std::vector<std::string> Problems_;
};

} // namespace dravon
