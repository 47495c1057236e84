#include "app/FileStore.h"

#include "app/TextFormat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dravon {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view Header = "DRAVON-STORE 1";
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
// Lines between two questions whether the load is to stop.
constexpr std::size_t StopCheckLines = 4096;

constexpr std::pair<TRootKey, std::string_view> RootNames[] = {
    {TRootKey::LocalMachine, "HKEY_LOCAL_MACHINE"},
    {TRootKey::CurrentUser, "HKEY_CURRENT_USER"},
    {TRootKey::ClassesRoot, "HKEY_CLASSES_ROOT"},
};

std::string_view RootName(TRootKey root) {
    for (const auto& [key, name] : RootNames)
        if (key == root) return name;
    return {};
}

void Quote(std::string& out, std::string_view text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

void WriteKey(std::string& out, TRootKey root, const std::string& path, const TMemoryStore::TKey& key) {
    out += "key ";
    out += RootName(root);
    out += ' ';
    Quote(out, path);
    out += '\n';
    for (const auto& [upper, value] : key.Values) {
        if (std::holds_alternative<std::uint32_t>(value.Value)) {
            out += "dword ";
            Quote(out, value.Name);
            out += ' ';
            out += std::to_string(std::get<std::uint32_t>(value.Value));
        } else {
            out += "string ";
            Quote(out, value.Name);
            out += ' ';
            Quote(out, std::get<std::string>(value.Value));
        }
        out += '\n';
    }
    for (const auto& [upper, sub] : key.SubKeys)
        WriteKey(out, root, path.empty() ? sub.Name : path + "\\" + sub.Name, sub);
}

// A cursor over one line; each failing step leaves the reason.
class TLineReader {
public:
    explicit TLineReader(std::string_view line) : Line_(line) {}

    std::string_view Word() {
        std::size_t start = Pos_;
        while (Pos_ < Line_.size() && Line_[Pos_] != ' ' && Line_[Pos_] != '\t') ++Pos_;
        return Line_.substr(start, Pos_ - start);
    }
    bool Blank() {
        std::size_t start = Pos_;
        while (Pos_ < Line_.size() && (Line_[Pos_] == ' ' || Line_[Pos_] == '\t')) ++Pos_;
        return Pos_ > start || Fail("blank expected");
    }
    bool Quoted(std::string& text) {
        text.clear();
        if (Pos_ >= Line_.size() || Line_[Pos_] != '"') return Fail("text in double quotes expected");
        ++Pos_;
        while (Pos_ < Line_.size()) {
            char c = Line_[Pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (Pos_ >= Line_.size()) break;
            char e = Line_[Pos_++];
            if (e == '\\' || e == '"') {
                text += e;
            } else if (e == 'x' && Pos_ + 2 <= Line_.size() && HexDigit(Line_[Pos_]) >= 0 &&
                       HexDigit(Line_[Pos_ + 1]) >= 0) {
                text += static_cast<char>(HexDigit(Line_[Pos_]) * 16 + HexDigit(Line_[Pos_ + 1]));
                Pos_ += 2;
            } else {
                return Fail("unknown escape in text");
            }
        }
        return Fail("text without closing quote");
    }
    bool Number(std::uint32_t& value) {
        std::size_t start = Pos_;
        std::uint64_t result = 0;
        while (Pos_ < Line_.size() && Line_[Pos_] >= '0' && Line_[Pos_] <= '9') {
            result = result * 10 + static_cast<unsigned>(Line_[Pos_++] - '0');
            if (result > 0xFFFFFFFFu) return Fail("dword not a number from 0 to 4294967295");
        }
        value = static_cast<std::uint32_t>(result);
        return Pos_ > start || Fail("dword not a number from 0 to 4294967295");
    }
    bool AtEnd() { return Pos_ == Line_.size() || Fail("unexpected text after the record"); }
    bool Fail(std::string reason) {
        if (Reason.empty()) Reason = std::move(reason);
        return false;
    }

    std::string Reason;

private:
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }
    std::string_view Line_;
    std::size_t Pos_ = 0;
};

std::string_view Trimmed(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    return line;
}

bool Contains(const std::vector<TRootKey>& roots, TRootKey root) {
    return std::find(roots.begin(), roots.end(), root) != roots.end();
}

std::string SystemReason(int error) { return std::generic_category().message(error); }

enum class TReadResult { Missing, Read, Unreadable, TooLarge };

// Reads the whole file. A file replaced while it is read (another process's rename) is
// read again, so the text is always one complete version.
TReadResult ReadText(const std::string& path, std::string& text, int& error) {
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            return error == ENOENT ? TReadResult::Missing : TReadResult::Unreadable;
        }
        struct stat before {};
        TReadResult result = TReadResult::Read;
        text.clear();
        if (::fstat(fd, &before) != 0) {
            error = errno;
            result = TReadResult::Unreadable;
        } else if (static_cast<std::uint64_t>(before.st_size) > TFileStore::MaxFileSize) {
            result = TReadResult::TooLarge;
        } else {
            text.resize(static_cast<std::size_t>(before.st_size));
            std::size_t done = 0;
            while (result == TReadResult::Read) {
                if (done == text.size()) text.resize(done + 4096); // grown since fstat
                const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    error = errno;
                    result = TReadResult::Unreadable;
                } else if (n == 0) {
                    break;
                } else {
                    done += static_cast<std::size_t>(n);
                    if (done > TFileStore::MaxFileSize) result = TReadResult::TooLarge;
                }
            }
            text.resize(done);
        }
        ::close(fd);
        struct stat after {};
        const bool replaced = ::stat(path.c_str(), &after) != 0 || after.st_ino != before.st_ino;
        if (result != TReadResult::Read || !replaced || attempt == 2) return result;
    }
}

// An flock on <file>.lock, released when it goes out of scope.
class TFileLock {
public:
    // exclusive: for a writer (creates the lock file); shared: for a reader, which may have
    // no right to create it and then reads without it (writers replace files atomically).
    TFileLock(const std::string& path, bool exclusive) {
        Fd_ = ::open(path.c_str(), exclusive ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0644);
        if (Fd_ < 0) {
            Error = errno;
            return;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(TFileStore::LockWaitMs);
        while (::flock(Fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
                Error = errno;
                ::close(Fd_);
                Fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        Locked_ = true;
    }
    ~TFileLock() {
        if (Fd_ >= 0) ::close(Fd_);
    }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;
    bool Locked() const { return Locked_; }
    int Error = 0;

private:
    int Fd_ = -1;
    bool Locked_ = false;
};

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The text as a new file created exclusively at a free name <path>.corrupt.N.
std::string KeepNumberedCopy(const std::string& path, std::string_view text) {
    for (int number = 1; number < 1000; ++number) {
        const std::string name = path + ".corrupt." + std::to_string(number);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {};
        }
        const bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok) {
            ::unlink(name.c_str());
            return {};
        }
        return name;
    }
    return {};
}

void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

TFileStore::TFileStore(std::string machineFile, std::string userFile, std::function<bool()> stopRequested)
    : StopRequested_(std::move(stopRequested)) {
    KeepsUndo_ = true;
    Machine_.Path = std::move(machineFile);
    Machine_.Roots = {TRootKey::LocalMachine, TRootKey::ClassesRoot};
    User_.Path = std::move(userFile);
    User_.Roots = {TRootKey::CurrentUser};
    Load(Machine_);
    Load(User_);
}

std::string TFileStore::Serialize(const TMemoryStore& store, const std::vector<TRootKey>& roots) {
    std::string out(Header);
    out += '\n';
    for (TRootKey root : roots) WriteKey(out, root, std::string(), store.Root(root));
    return out;
}

TFileStore::TParseResult TFileStore::Parse(std::string_view text, TMemoryStore& store,
                                           const std::vector<TRootKey>& roots,
                                           const std::function<bool()>& stopRequested) {
    TParseResult result;
    TMemoryStore parsed;
    if (text.substr(0, ByteOrderMark.size()) == ByteOrderMark) text.remove_prefix(ByteOrderMark.size());
    bool headerSeen = false;
    TMemoryStore::TKey* current = nullptr;
    std::size_t skippedKeyLine = 0; // values below a skipped key line are skipped with it
    std::size_t lineNumber = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size(); // a last line without its line end
        const std::string_view line = Trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (lineNumber % StopCheckLines == 0 && stopRequested && stopRequested()) {
            result.Stopped = true;
            return result;
        }
        if (line.empty()) continue;
        if (!headerSeen) {
            if (line != Header) return result;
            headerSeen = true;
            continue;
        }
        TLineReader reader(line);
        const std::string_view word = reader.Word();
        if (word == "key") {
            std::string path;
            const std::string_view rootName = reader.Blank() ? reader.Word() : std::string_view();
            if (reader.Reason.empty() && reader.Blank() && reader.Quoted(path) && reader.AtEnd()) {
                auto it = std::find_if(std::begin(RootNames), std::end(RootNames),
                                       [&](const auto& entry) { return entry.second == rootName; });
                if (it == std::end(RootNames))
                    reader.Fail("unknown root " + LogText(rootName));
                else if (!Contains(roots, it->first))
                    reader.Fail("root " + std::string(rootName) + " belongs to the other store file");
                else
                    current = parsed.Find(it->first, path, true);
            }
            if (!reader.Reason.empty()) {
                current = nullptr;
                skippedKeyLine = lineNumber;
            }
        } else if (word == "dword" || word == "string") {
            std::string name;
            TMemoryStore::TValue value;
            if (reader.Blank() && reader.Quoted(name) && reader.Blank()) {
                if (word == "dword") {
                    std::uint32_t number = 0;
                    if (reader.Number(number)) value = number;
                } else {
                    std::string textValue;
                    if (reader.Quoted(textValue)) value = std::move(textValue);
                }
            }
            if (reader.Reason.empty() && reader.AtEnd()) {
                if (!current) {
                    reader.Fail(skippedKeyLine
                                    ? "value of the key skipped at line " + std::to_string(skippedKeyLine)
                                    : std::string("value before any key"));
                } else {
                    auto [it, added] = current->Values.try_emplace(TMemoryStore::Upper(name));
                    if (added)
                        it->second = {std::move(name), std::move(value)};
                    else // the first spelling stays; a second one is another program's mistake
                        reader.Fail("second spelling of value \"" + LogText(it->second.Name) + "\"");
                }
            }
        } else {
            reader.Fail("unknown record \"" + LogText(word) + "\"");
        }
        if (!reader.Reason.empty()) result.BadLines.push_back({lineNumber, std::move(reader.Reason)});
    }
    if (!headerSeen) return result;
    for (TRootKey root : roots) store.Root(root) = std::move(parsed.Root(root));
    result.Ok = true;
    return result;
}

void TFileStore::ReportBadLines(const TFile& file, const std::vector<TBadLine>& lines) {
    for (std::size_t i = 0; i < lines.size() && i < MaxReportedLines; ++i)
        Problems_.push_back(FormatText("Store file %s line %s skipped: %s",
                                       {file.Path, std::to_string(lines[i].Line), lines[i].Reason}));
    if (lines.size() > MaxReportedLines)
        Problems_.push_back(FormatText("Store file %s: %s more lines skipped",
                                       {file.Path, std::to_string(lines.size() - MaxReportedLines)}));
}

void TFileStore::Load(TFile& file) {
    const std::string readOnly = "; it is left as it is and stays read-only until it is mended or removed";
    if (Stopped_) {
        file.State = TStoreFileState::Unreadable;
        return;
    }
    TFileLock lock(file.Path + ".lock", false);
    std::string text;
    int error = 0;
    switch (ReadText(file.Path, text, error)) {
    case TReadResult::Missing: file.State = TStoreFileState::Missing; return;
    case TReadResult::Unreadable:
        file.State = TStoreFileState::Unreadable;
        Problems_.push_back(
            FormatText("Store file %s cannot be read (%s)", {file.Path, SystemReason(error)}) + readOnly);
        return;
    case TReadResult::TooLarge:
        file.State = TStoreFileState::Corrupt;
        Problems_.push_back(FormatText("Store file %s is larger than 16 MiB", {file.Path}) + readOnly);
        return;
    case TReadResult::Read: break;
    }
    TParseResult parsed = Parse(text, *this, file.Roots, StopRequested_);
    KeysReplaced();
    if (parsed.Stopped) {
        Stopped_ = true;
        file.State = TStoreFileState::Unreadable;
        return;
    }
    if (!parsed.Ok) {
        file.State = TStoreFileState::Corrupt;
        Problems_.push_back(
            FormatText("Store file %s is not a Dravon store file (its first line is not \"%s\")",
                       {file.Path, Header}) +
            readOnly);
        return;
    }
    ReportBadLines(file, parsed.BadLines);
    file.State = parsed.BadLines.empty() ? TStoreFileState::Loaded : TStoreFileState::Damaged;
    file.KnownText = std::move(text);
}

std::vector<std::string> TFileStore::TakeProblems() { return std::exchange(Problems_, {}); }

bool TFileStore::CanWrite(TRootKey root) {
    TFile& file = FileOf(root);
    if (file.State == TStoreFileState::Corrupt || file.State == TStoreFileState::Unreadable) return false;
    if (file.WritableChecked < 0) {
        // Honour the read-only permission even where the process could override it.
        struct stat status {};
        file.WritableChecked = ::stat(file.Path.c_str(), &status) != 0 || (status.st_mode & S_IWUSR) != 0;
    }
    return file.WritableChecked == 1;
}

bool TFileStore::EndUpdate() {
    const bool ok = TMemoryStore::EndUpdate();
    Machine_.WritableChecked = User_.WritableChecked = -1;
    return ok;
}

bool TFileStore::Commit(const std::vector<TChange>& changes) {
    bool ok = true;
    for (TFile* file : {&Machine_, &User_}) {
        std::vector<TChange> own;
        for (const TChange& change : changes)
            if (Contains(file->Roots, change.Root)) own.push_back(change);
        if (!own.empty()) ok = Write(*file, own) && ok;
        file->WritableChecked = -1;
    }
    return ok;
}

bool TFileStore::Write(TFile& file, const std::vector<TChange>& changes) {
    if (!CanWrite(file.Roots.front())) return false;
    const fs::path path(file.Path);
    std::error_code ec;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) return false;
    }
    TFileLock lock(file.Path + ".lock", true);
    if (!lock.Locked()) return false;

    // What another process wrote since we last read the file is the base; this process's
    // changes are replayed on it.
    std::string onDisk;
    int error = 0;
    const TReadResult read = ReadText(file.Path, onDisk, error);
    if (read == TReadResult::Unreadable || read == TReadResult::TooLarge) return false;
    if (read == TReadResult::Missing) onDisk.clear();
    if (onDisk != file.KnownText) {
        TMemoryStore fresh;
        TParseResult parsed = Parse(onDisk, fresh, file.Roots);
        if (read == TReadResult::Read && !parsed.Ok) {
            // Another program left something that is not a store: never overwrite it.
            file.State = TStoreFileState::Corrupt;
            Problems_.push_back(
                FormatText("Store file %s was replaced by a file that is not a Dravon store file; it "
                           "is left as it is and stays read-only until it is mended or removed",
                           {file.Path}));
            return false;
        }
        if (!parsed.BadLines.empty()) {
            ReportBadLines(file, parsed.BadLines);
            file.State = TStoreFileState::Damaged;
        }
        for (const TChange& change : changes) fresh.Apply(change);
        for (TRootKey root : file.Roots) Root(root) = std::move(fresh.Root(root));
        KeysReplaced();
    }
    const std::string text = Serialize(*this, file.Roots);

    if (file.State == TStoreFileState::Damaged && read == TReadResult::Read) {
        const std::string copy = KeepNumberedCopy(file.Path, onDisk);
        if (copy.empty()) return false; // the skipped lines would be lost
        Problems_.push_back(
            FormatText("Store file %s rewritten; its earlier text with the skipped lines is kept as %s",
                       {file.Path, copy}));
    }

    std::string temporary = file.Path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    struct stat existing {};
    const mode_t mode = ::stat(file.Path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) SyncFolder(path.parent_path());
    if (!ok || ::rename(temporary.c_str(), file.Path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    SyncFolder(path.parent_path());
    file.State = TStoreFileState::Loaded;
    file.KnownText = text;
    return true;
}

} // namespace dravon
