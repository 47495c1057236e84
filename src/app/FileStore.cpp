#include "app/FileStore.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace dravon {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view Header = "DRAVON-STORE 1";

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
    for (const auto& [name, value] : key.Values) {
        if (std::holds_alternative<std::uint32_t>(value)) {
            out += "dword ";
            Quote(out, name);
            out += ' ' + std::to_string(std::get<std::uint32_t>(value)) + '\n';
        } else {
            out += "string ";
            Quote(out, name);
            out += ' ';
            Quote(out, std::get<std::string>(value));
            out += '\n';
        }
    }
    for (const auto& [upper, sub] : key.SubKeys)
        WriteKey(out, root, path.empty() ? sub.Name : path + "\\" + sub.Name, sub);
}

// A cursor over one line.
class TLineReader {
public:
    explicit TLineReader(std::string_view line) : Line_(line) {}

    bool Word(std::string_view& word) {
        std::size_t start = Pos_;
        while (Pos_ < Line_.size() && Line_[Pos_] != ' ') ++Pos_;
        word = Line_.substr(start, Pos_ - start);
        return !word.empty();
    }
    bool Space() {
        if (Pos_ >= Line_.size() || Line_[Pos_] != ' ') return false;
        ++Pos_;
        return true;
    }
    bool Quoted(std::string& text) {
        text.clear();
        if (Pos_ >= Line_.size() || Line_[Pos_] != '"') return false;
        ++Pos_;
        while (Pos_ < Line_.size()) {
            char c = Line_[Pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (Pos_ >= Line_.size()) return false;
            char e = Line_[Pos_++];
            if (e == '\\' || e == '"') {
                text += e;
            } else if (e == 'x' && Pos_ + 2 <= Line_.size()) {
                int high = HexDigit(Line_[Pos_]), low = HexDigit(Line_[Pos_ + 1]);
                if (high < 0 || low < 0) return false;
                text += static_cast<char>(high * 16 + low);
                Pos_ += 2;
            } else {
                return false;
            }
        }
        return false; // no closing quote
    }
    bool Number(std::uint32_t& value) {
        std::size_t start = Pos_;
        std::uint64_t result = 0;
        while (Pos_ < Line_.size() && Line_[Pos_] >= '0' && Line_[Pos_] <= '9') {
            result = result * 10 + static_cast<unsigned>(Line_[Pos_++] - '0');
            if (result > 0xFFFFFFFFu) return false;
        }
        value = static_cast<std::uint32_t>(result);
        return Pos_ > start;
    }
    bool AtEnd() const { return Pos_ == Line_.size(); }

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

bool Contains(const std::vector<TRootKey>& roots, TRootKey root) {
    return std::find(roots.begin(), roots.end(), root) != roots.end();
}

} // namespace

TFileStore::TFileStore(std::string machineFile, std::string userFile) {
    Machine_.Path = std::move(machineFile);
    Machine_.Roots = {TRootKey::LocalMachine, TRootKey::ClassesRoot};
    User_.Path = std::move(userFile);
    User_.Roots = {TRootKey::CurrentUser};
    Machine_.State = Load(Machine_);
    User_.State = Load(User_);
}

std::string TFileStore::Serialize(const TMemoryStore& store, const std::vector<TRootKey>& roots) {
    std::string out(Header);
    out += '\n';
    for (TRootKey root : roots) WriteKey(out, root, std::string(), store.Root(root));
    return out;
}

bool TFileStore::Parse(std::string_view text, TMemoryStore& store, const std::vector<TRootKey>& roots) {
    TMemoryStore parsed;
    std::size_t pos = 0;
    bool first = true;
    TMemoryStore::TKey* current = nullptr;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) return false; // every record ends with a line end
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (first) {
            if (line != Header) return false;
            first = false;
            continue;
        }
        TLineReader reader(line);
        std::string_view word;
        if (!reader.Word(word) || !reader.Space()) return false;
        if (word == "key") {
            std::string_view rootName;
            std::string path;
            if (!reader.Word(rootName) || !reader.Space() || !reader.Quoted(path) || !reader.AtEnd())
                return false;
            auto it = std::find_if(std::begin(RootNames), std::end(RootNames),
                                   [&](const auto& entry) { return entry.second == rootName; });
            if (it == std::end(RootNames) || !Contains(roots, it->first)) return false;
            current = &parsed.Root(it->first);
            // Walk/create the path in the parsed tree, keeping the names as written.
            std::string part;
            auto descend = [&](const std::string& name) {
                std::string upper = name;
                for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                auto sub = current->SubKeys.find(upper);
                if (sub == current->SubKeys.end()) {
                    sub = current->SubKeys.emplace(upper, TMemoryStore::TKey{}).first;
                    sub->second.Name = name;
                }
                current = &sub->second;
            };
            for (char c : path) {
                if (c == '\\') {
                    if (!part.empty()) descend(part);
                    part.clear();
                } else {
                    part += c;
                }
            }
            if (!part.empty()) descend(part);
        } else if (word == "dword" || word == "string") {
            if (!current) return false;
            std::string name;
            if (!reader.Quoted(name) || !reader.Space()) return false;
            TMemoryStore::TValue value;
            if (word == "dword") {
                std::uint32_t number = 0;
                if (!reader.Number(number)) return false;
                value = number;
            } else {
                std::string textValue;
                if (!reader.Quoted(textValue)) return false;
                value = std::move(textValue);
            }
            if (!reader.AtEnd()) return false;
            // Value names compare case-insensitively: a second spelling of one name is corrupt.
            std::string upper = name;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            for (const auto& [existing, unused] : current->Values) {
                std::string other = existing;
                for (char& c : other) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (other == upper) return false;
            }
            current->Values.emplace(std::move(name), std::move(value));
        } else {
            return false;
        }
    }
    if (first) return false; // not even a header
    for (TRootKey root : roots) store.Root(root) = std::move(parsed.Root(root));
    return true;
}

namespace {

enum class TReadResult { Missing, Read, Unreadable, TooLarge };

TReadResult ReadText(const std::string& path, std::string& text) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return ec ? TReadResult::Unreadable : TReadResult::Missing;
    auto size = fs::file_size(path, ec);
    if (ec) return TReadResult::Unreadable;
    if (size > TFileStore::MaxFileSize) return TReadResult::TooLarge;
    std::ifstream in(path, std::ios::binary);
    if (!in) return TReadResult::Unreadable;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? TReadResult::Unreadable : TReadResult::Read;
}

} // namespace

TStoreFileState TFileStore::Load(TFile& file) {
    std::string text;
    switch (ReadText(file.Path, text)) {
    case TReadResult::Missing: return TStoreFileState::Missing;
    case TReadResult::Unreadable: return TStoreFileState::Unreadable;
    case TReadResult::TooLarge: return TStoreFileState::Corrupt;
    case TReadResult::Read: break;
    }
    if (!Parse(text, *this, file.Roots)) return TStoreFileState::Corrupt;
    file.KnownText = std::move(text);
    return TStoreFileState::Loaded;
}

bool TFileStore::Changed(TRootKey root) {
    return Save(root == TRootKey::CurrentUser ? User_ : Machine_, root);
}

bool TFileStore::Save(TFile& file, TRootKey changed) {
    std::error_code ec;
    const fs::path path(file.Path);
    auto status = fs::status(path, ec);
    if (fs::exists(status)) {
        // Honour the read-only permission even where the process could override it.
        if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) return false;
        // An unreadable file is not replaced: it may hold values we could not see.
        if (file.State == TStoreFileState::Unreadable) return false;
    }
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) return false;
    }

    // Roots that another process rewrote (a registration run beside the server) are
    // taken from the disk until this process changes them itself.
    std::string onDisk;
    TMemoryStore disk;
    const bool diskRead = (file.State == TStoreFileState::Loaded || file.State == TStoreFileState::Missing) &&
                          ReadText(file.Path, onDisk) == TReadResult::Read && Parse(onDisk, disk, file.Roots);
    if (diskRead && onDisk != file.KnownText)
        for (TRootKey root : file.Roots)
            if (root != changed) file.StaleRoots.insert(root);
    file.StaleRoots.erase(changed);
    TMemoryStore composed;
    for (TRootKey root : file.Roots)
        composed.Root(root) = diskRead && file.StaleRoots.count(root) ? disk.Root(root) : Root(root);
    const std::string text = Serialize(composed, file.Roots);

    const std::string temporary = file.Path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, ec);
            return false;
        }
    }
    if (file.State == TStoreFileState::Corrupt)
        fs::copy_file(path, file.Path + ".corrupt", fs::copy_options::overwrite_existing, ec);
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    file.State = TStoreFileState::Loaded;
    file.KnownText = text;
    return true;
}

} // namespace dravon
