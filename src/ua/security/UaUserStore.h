// The endpoint's user names, kept in the store under the OpcUa key (Users\<name>, value
// "Role" and value "Password"). A password is never stored: "Password" holds
// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>", PBKDF2-HMAC-SHA256 of the password
// with a random 16-byte salt.
#pragma once

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

    explicit TUaUserStore(IKeyValueStore& store, std::uint32_t iterations = DefaultIterations)
        : Store_(store), Iterations_(iterations) {}

    // Letters, digits and ". _ @ -", 1 to 64 of them.
    static bool ValidName(std::string_view name);
    // "read-only" or "read-write".
    static std::optional<TUaUserRole> ParseRole(std::string_view text);
    static const char* RoleName(TUaUserRole role);

    // Adds the user or replaces the password and role; false with a reason.
    bool Add(const std::string& name, std::string_view password, TUaUserRole role, std::string& error);
    bool Remove(const std::string& name);
    std::vector<TUaUser> List() const;
    // The role when name and password match a stored user. An unknown name costs as much
    // time as a wrong password.
    std::optional<TUaUserRole> Check(const std::string& name, std::string_view password) const;

private:
    IKeyValueStore& Store_;
    std::uint32_t Iterations_;
};

// The user-management switches: --add-user NAME --role ROLE, --remove-user NAME and
// --list-users. Empty when arguments hold none of them; otherwise what the process
// exits with. readPassword asks for the password (the terminal without echo, or one line
// of standard input); empty when none could be read.
struct TUaUserCommandIo {
    std::function<std::optional<std::string>()> ReadPassword;
    std::ostream& Out;
    std::ostream& Err;
};
std::optional<int> RunUaUserCommand(const std::vector<std::string>& arguments, TUaUserStore& users,
                                    const TUaUserCommandIo& io);

} // namespace dravon
