#include "ua/security/UaUserStore.h"

#include "app/KeyValueStore.h"
#include "ua/UaConfig.h"
#include "ua/security/UaCrypto.h"

#include <openssl/evp.h>

#include <cctype>

namespace dravon {

namespace {

const std::string UsersPath = std::string(UaConfigKeyPath) + "\\Users";
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
    auto key = Store_.OpenKey(TRootKey::LocalMachine, UsersPath + "\\" + name);
    std::string record =
        std::string(Scheme) + "$" + std::to_string(Iterations_) + "$" + UaHex(salt) + "$" + UaHex(hash);
    if (!key || !key->WriteString("Role", RoleName(role)) || !key->WriteString("Password", record)) {
        error = "The store cannot be written";
        return false;
    }
    return true;
}

bool TUaUserStore::Remove(const std::string& name) {
    if (!ValidName(name) || !Store_.KeyExists(TRootKey::LocalMachine, UsersPath + "\\" + name)) return false;
    return Store_.DeleteKey(TRootKey::LocalMachine, UsersPath + "\\" + name);
}

std::vector<TUaUser> TUaUserStore::List() const {
    std::vector<TUaUser> out;
    auto key = Store_.OpenKeyReadOnly(TRootKey::LocalMachine, UsersPath);
    if (!key) return out;
    for (const auto& name : key->SubKeyNames()) {
        auto user = Store_.OpenKeyReadOnly(TRootKey::LocalMachine, UsersPath + "\\" + name);
        auto role = user ? ParseRole(user->ReadString("Role").value_or("")) : std::nullopt;
        out.push_back({name, role.value_or(TUaUserRole::ReadOnly)});
    }
    return out;
}

std::optional<TUaUserRole> TUaUserStore::Check(const std::string& name, std::string_view password) const {
    std::optional<TRecord> record;
    std::optional<TUaUserRole> role;
    if (ValidName(name)) {
        if (auto key = Store_.OpenKeyReadOnly(TRootKey::LocalMachine, UsersPath + "\\" + name)) {
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

std::optional<int> RunUaUserCommand(const std::vector<std::string>& arguments, TUaUserStore& users,
                                    const TUaUserCommandIo& io) {
    auto valueAfter = [&](const char* name) -> std::optional<std::string> {
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (arguments[i] == name) return i + 1 < arguments.size() ? arguments[i + 1] : std::string();
        return std::nullopt;
    };
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
        if (!users.Remove(*name)) {
            io.Err << "No user " << *name << std::endl;
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

} // namespace dravon
