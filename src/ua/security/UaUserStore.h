// The endpoint's user names, kept in a file of their own (mode 0600, never the store that
// everyone on the machine may read) in the store's text format: key Users\<name> with
// value "Role" and value "Password". A password is never stored: "Password" holds
// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>", PBKDF2-HMAC-SHA256 of the password
// with a random 16-byte salt. `dravon --add-user` in another process changes the file
// while the server runs; the server reads it again when it changed and never writes it.
#pragma once

#include "app/MemoryStore.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

class IKeyValueStore;

enum class TUaUserRole { ReadOnly, ReadWrite };

struct TUaUser {
    std::string Name;
    TUaUserRole Role = TUaUserRole::ReadOnly;
};

class TUaUserStore {
public:
    static constexpr std::uint32_t DefaultIterations = 100000;
    static constexpr std::size_t MaxNameLength = 64;
    static constexpr std::size_t MaxPasswordLength = 256;

    explicit TUaUserStore(std::string file, std::uint32_t iterations = DefaultIterations)
        : File_(std::move(file)), Iterations_(iterations) {}

    const std::string& File() const { return File_; }

    // Letters, digits and ". _ @ -", 1 to 64 of them.
    static bool ValidName(std::string_view name);
    // "read-only" or "read-write".
    static std::optional<TUaUserRole> ParseRole(std::string_view text);
    static const char* RoleName(TUaUserRole role);

    // Adds the user or replaces the password and role; false with a reason.
    // Both read the file afresh and rewrite it whole (a unique temporary file, mode 0600,
    // renamed over it).
    bool Add(const std::string& name, std::string_view password, TUaUserRole role, std::string& error);
    bool Remove(const std::string& name, std::string& error);
    std::vector<TUaUser> List();
    // The role when name and password match a stored user. An unknown name costs as much
    // time as a wrong password.
    std::optional<TUaUserRole> Check(const std::string& name, std::string_view password);

    // Users that an older version kept in the store under the OpcUa key move into the file
    // (a user already in the file keeps its entry) and leave the store. The number moved;
    // -1 with a reason when the file cannot be written (the store then keeps them).
    int MoveFrom(IKeyValueStore& store, std::string& error);

private:
    // Reads the file when its size, time or inode differ from the last read; false when
    // it cannot be read or parsed (no user can log in then).
    bool Reload();
    bool Save(std::string& error);

    struct TStamp {
        std::uint64_t Device = 0, Inode = 0, Size = 0;
        std::int64_t ModifiedNs = -1;
        bool operator==(const TStamp&) const = default;
    };
    std::string File_;
    std::uint32_t Iterations_;
    TMemoryStore Users_;
    TStamp Seen_;
    bool Readable_ = true;
};

// The users file of an application directory (with its trailing "/"): "opcua.users" in it,
// beside the pki folder. Empty without an application directory.
std::string UaUsersFile(const std::string& applicationDirectory);

// The user-management switches: --add-user NAME --role ROLE, --remove-user NAME and
// --list-users. Empty when arguments hold none of them; otherwise what the process
// exits with. readPassword asks for the password (the terminal without echo, or one line
// of standard input); empty when none could be read.
struct TUaUserCommandIo {
    std::function<std::optional<std::string>()> ReadPassword;
    std::ostream& Out;
    std::ostream& Err;
    // The store users of an older version are moved from (see TUaUserStore::MoveFrom).
    IKeyValueStore* Store = nullptr;
};
// The line that tells how many users moved out of the store.
std::string MovedUsersLine(int moved, const std::string& file);
std::optional<int> RunUaUserCommand(const std::vector<std::string>& arguments, TUaUserStore& users,
                                    const TUaUserCommandIo& io);

} // namespace dravon
