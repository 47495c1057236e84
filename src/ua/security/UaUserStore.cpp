#include "ua/security/UaUserStore.h"

#include "app/FileStore.h"
#include "app/KeyValueStore.h"
#include "ua/UaConfig.h"
#include "ua/security/UaCrypto.h"

#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dravon {

namespace {

// Where an older version kept them, in the machine store.
const std::string StoreUsersPath = std::string(UaConfigKeyPath) + "\\Users";
// Where they are in the users file.
const std::string UsersPath = "Users";
constexpr TRootKey FileRoot = TRootKey::LocalMachine;
constexpr const char* Scheme = "pbkdf2-sha256";
constexpr std::size_t SaltSize = 16;
constexpr std::size_t HashSize = 32;

std::string Pbkdf2(std::string_view password, std::string_view salt, std::uint32_t iterations) {
    std::string out(HashSize, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), static_cast<int>(out.size()),
                          reinterpret_cast<unsigned char*>(out.data())) != 1)
        out.clear();
    return out;
}

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        int hi = digit(hex[i]);
        int lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi << 4 | lo));
    }
    return out;
}

struct TRecord {
    std::uint32_t Iterations = 0;
    std::string Salt;
    std::string Hash;
};

std::optional<TRecord> ParseRecord(std::string_view text) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        std::size_t next = text.find('$', at);
        parts.push_back(text.substr(at, next == std::string_view::npos ? next : next - at));
        if (next == std::string_view::npos) break;
        at = next + 1;
    }
    if (parts.size() != 4 || parts[0] != Scheme || parts[1].empty() || parts[1].size() > 9)
        return std::nullopt;
    TRecord record;
    for (char c : parts[1]) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        record.Iterations = record.Iterations * 10 + static_cast<std::uint32_t>(c - '0');
    }
    auto salt = FromHex(parts[2]);
    auto hash = FromHex(parts[3]);
    if (!record.Iterations || !salt || !hash || hash->size() != HashSize) return std::nullopt;
    record.Salt = *salt;
    record.Hash = *hash;
    return record;
}

} // namespace

bool TUaUserStore::ValidName(std::string_view name) {
    if (name.empty() || name.size() > MaxNameLength) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '@' && c != '-')
            return false;
    return true;
}

std::optional<TUaUserRole> TUaUserStore::ParseRole(std::string_view text) {
    if (text == "read-only") return TUaUserRole::ReadOnly;
    if (text == "read-write") return TUaUserRole::ReadWrite;
    return std::nullopt;
}

const char* TUaUserStore::RoleName(TUaUserRole role) {
    return role == TUaUserRole::ReadWrite ? "read-write" : "read-only";
}

bool TUaUserStore::Add(const std::string& name, std::string_view password, TUaUserRole role,
                       std::string& error) {
    if (!ValidName(name)) {
        error = "A user name is 1 to 64 letters, digits and . _ @ -";
        return false;
    }
    if (password.empty() || password.size() > MaxPasswordLength) {
        error = "A password has 1 to 256 characters";
        return false;
    }
    std::string salt = UaRandomBytes(SaltSize);
    std::string hash = Pbkdf2(password, salt, Iterations_);
    if (salt.size() != SaltSize || hash.empty()) {
        error = "The password cannot be hashed";
        return false;
    }
    if (!Reload()) {
        error = "The users file " + File_ + " cannot be read";
        return false;
    }
    auto key = Users_.OpenKey(FileRoot, UsersPath + "\\" + name);
    std::string record =
        std::string(Scheme) + "$" + std::to_string(Iterations_) + "$" + UaHex(salt) + "$" + UaHex(hash);
    key->WriteString("Role", RoleName(role));
    key->WriteString("Password", record);
    return Save(error);
}

bool TUaUserStore::Remove(const std::string& name, std::string& error) {
    if (!Reload()) {
        error = "The users file " + File_ + " cannot be read";
        return false;
    }
    if (!ValidName(name) || !Users_.KeyExists(FileRoot, UsersPath + "\\" + name)) {
        error = "No user " + name;
        return false;
    }
    Users_.DeleteKey(FileRoot, UsersPath + "\\" + name);
    return Save(error);
}

std::vector<TUaUser> TUaUserStore::List() {
    std::vector<TUaUser> out;
    Reload();
    auto key = Users_.OpenKeyReadOnly(FileRoot, UsersPath);
    if (!key) return out;
    for (const auto& name : key->SubKeyNames()) {
        auto user = Users_.OpenKeyReadOnly(FileRoot, UsersPath + "\\" + name);
        auto role = user ? ParseRole(user->ReadString("Role").value_or("")) : std::nullopt;
        out.push_back({name, role.value_or(TUaUserRole::ReadOnly)});
    }
    return out;
}

std::optional<TUaUserRole> TUaUserStore::Check(const std::string& name, std::string_view password) {
    std::optional<TRecord> record;
    std::optional<TUaUserRole> role;
    // A user added by --add-user while the server runs can log in at once.
    Reload();
    if (ValidName(name)) {
        if (auto key = Users_.OpenKeyReadOnly(FileRoot, UsersPath + "\\" + name)) {
            record = ParseRecord(key->ReadString("Password").value_or(""));
            role = ParseRole(key->ReadString("Role").value_or(""));
        }
    }
    // A stored count far above ours would let a doctored store stall the loop.
    if (record && record->Iterations > 16 * DefaultIterations) record.reset();
    // Hashed for an unknown name too, so that it takes as long as a known one.
    const TRecord used = record.value_or(TRecord{Iterations_, std::string(SaltSize, '\0'), {}});
    std::string hash = Pbkdf2(password, used.Salt, used.Iterations);
    if (!record || !role || !UaSameBytes(hash, record->Hash)) return std::nullopt;
    return role;
}

bool TUaUserStore::Reload() {
    struct stat info {};
    TStamp stamp;
    if (::stat(File_.c_str(), &info) == 0) {
        stamp = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                 static_cast<std::uint64_t>(info.st_size),
                 static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
    } else if (errno == ENOENT) {
        stamp.ModifiedNs = -2;
    } else {
        Seen_ = {};
        Users_.Clear();
        return Readable_ = false;
    }
    if (stamp == Seen_) return Readable_;
    Seen_ = stamp;
    Users_.Clear();
    if (stamp.ModifiedNs == -2) return Readable_ = true;
    Readable_ = false;
    if (stamp.Size > TFileStore::MaxFileSize) return false;
    std::ifstream in(File_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TMemoryStore parsed;
    // Credentials are read whole or not at all: a skipped line could be a user.
    const TFileStore::TParseResult result = TFileStore::Parse(text, parsed, {FileRoot});
    if (!in.bad() && result.Ok && result.BadLines.empty()) {
        Users_.Root(FileRoot) = std::move(parsed.Root(FileRoot));
        Readable_ = true;
    }
    return Readable_;
}

bool TUaUserStore::Save(std::string& error) {
    const std::string text = TFileStore::Serialize(Users_, {FileRoot});
    // Read again next time, whether or not this write lands.
    Seen_ = {};
    error = "The users file " + File_ + " cannot be written";
    std::error_code ec;
    const std::filesystem::path path(File_);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    // mkstemp creates the file 0600, so the hashes are never readable by others, not even
    // for a moment; a unique name keeps two writers from sharing one temporary file.
    std::string temporary = File_ + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    // Root adding a user for the service (sudo dravon --add-user): the file goes to the
    // folder's owner, the service's user, who must be able to read it.
    struct stat folder {};
    if (ok && ::geteuid() == 0 &&
        ::stat(path.has_parent_path() ? path.parent_path().c_str() : ".", &folder) == 0 && folder.st_uid != 0)
        ok = ::fchown(fd, folder.st_uid, folder.st_gid) == 0;
    for (std::size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) at += static_cast<std::size_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), File_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    error.clear();
    return true;
}

int TUaUserStore::MoveFrom(IKeyValueStore& store, std::string& error) {
    auto old = store.OpenKeyReadOnly(TRootKey::LocalMachine, StoreUsersPath);
    if (!old) return 0;
    if (!Reload()) {
        error = "The users file " + File_ + " cannot be read";
        return -1;
    }
    int moved = 0;
    for (const auto& name : old->SubKeyNames()) {
        auto from = store.OpenKeyReadOnly(TRootKey::LocalMachine, StoreUsersPath + "\\" + name);
        if (!from || !ValidName(name) || Users_.KeyExists(FileRoot, UsersPath + "\\" + name)) continue;
        auto to = Users_.OpenKey(FileRoot, UsersPath + "\\" + name);
        to->WriteString("Role", from->ReadString("Role").value_or(""));
        to->WriteString("Password", from->ReadString("Password").value_or(""));
        ++moved;
    }
    if (moved && !Save(error)) return -1;
    if (!store.DeleteKey(TRootKey::LocalMachine, StoreUsersPath)) {
        error = "The OPC UA users cannot be removed from the machine store; they are in " + File_;
        return -1;
    }
    return moved;
}

std::optional<int> RunUaUserCommand(const std::vector<std::string>& arguments, TUaUserStore& users,
                                    const TUaUserCommandIo& io) {
    auto valueAfter = [&](const char* name) -> std::optional<std::string> {
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (arguments[i] == name) return i + 1 < arguments.size() ? arguments[i + 1] : std::string();
        return std::nullopt;
    };
    bool command = false;
    for (const auto& argument : arguments)
        command =
            command || argument == "--add-user" || argument == "--remove-user" || argument == "--list-users";
    if (!command) return std::nullopt;
    if (io.Store) {
        std::string error;
        int moved = users.MoveFrom(*io.Store, error);
        if (moved > 0) io.Out << MovedUsersLine(moved, users.File()) << std::endl;
        if (moved < 0) io.Err << error << std::endl;
    }
    if (auto name = valueAfter("--add-user")) {
        auto roleText = valueAfter("--role");
        auto role = TUaUserStore::ParseRole(roleText.value_or(""));
        if (name->empty() || !role) {
            io.Err << "Usage: --add-user NAME --role read-only|read-write" << std::endl;
            return 2;
        }
        auto password = io.ReadPassword ? io.ReadPassword() : std::nullopt;
        if (!password) {
            io.Err << "No password given" << std::endl;
            return 1;
        }
        std::string error;
        if (!users.Add(*name, *password, *role, error)) {
            io.Err << error << std::endl;
            return 1;
        }
        io.Out << "User " << *name << " (" << TUaUserStore::RoleName(*role) << ") saved" << std::endl;
        return 0;
    }
    if (auto name = valueAfter("--remove-user")) {
        std::string error;
        if (!users.Remove(*name, error)) {
            io.Err << error << std::endl;
            return 1;
        }
        io.Out << "User " << *name << " removed" << std::endl;
        return 0;
    }
    for (const auto& argument : arguments) {
        if (argument != "--list-users") continue;
        for (const auto& user : users.List())
            io.Out << user.Name << " " << TUaUserStore::RoleName(user.Role) << "\n";
        io.Out.flush();
        return 0;
    }
    return std::nullopt;
}

std::string UaUsersFile(const std::string& applicationDirectory) {
    return applicationDirectory.empty() ? std::string() : applicationDirectory + "opcua.users";
}

std::string MovedUsersLine(int moved, const std::string& file) {
    return "OPC UA users moved from the machine store to " + file + ": " + std::to_string(moved);
}

} // namespace dravon
