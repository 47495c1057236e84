// User names for the endpoint: what the store keeps, what a login checks, and the
// --add-user / --remove-user / --list-users switches as an operator types them.
#include "ua/security/UaUserStore.h"
#include "app/MemoryStore.h"
#include "ua/UaConfig.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace dravon;

namespace {

// Few iterations keep the sanitizer build quick; the stored record says how many were used.
constexpr std::uint32_t TestIterations = 1000;

TEST(UaUserStoreTest, PasswordsAreStoredAsSaltedHashesAndChecked) {
    TMemoryStore store;
    TUaUserStore users(store, TestIterations);
    std::string error;
    ASSERT_TRUE(users.Add("operator", "pa55word", TUaUserRole::ReadOnly, error)) << error;
    ASSERT_TRUE(users.Add("engineer", "pa55word", TUaUserRole::ReadWrite, error)) << error;
    auto key =
        store.OpenKeyReadOnly(TRootKey::LocalMachine, std::string(UaConfigKeyPath) + "\\Users\\operator");
    ASSERT_TRUE(key);
    std::string record = key->ReadString("Password").value_or("");
    EXPECT_EQ(record.rfind("pbkdf2-sha256$1000$", 0), 0u) << record;
    EXPECT_EQ(record.size(), std::string("pbkdf2-sha256$1000$").size() + 32 + 1 + 64);
    EXPECT_EQ(record.find("pa55word"), std::string::npos);
    EXPECT_EQ(key->ReadString("Role"), "read-only");
    // The same password under another salt hashes differently.
    auto other =
        store.OpenKeyReadOnly(TRootKey::LocalMachine, std::string(UaConfigKeyPath) + "\\Users\\engineer");
    EXPECT_NE(other->ReadString("Password"), record);

    struct TRow {
        const char* Name;
        const char* Password;
        std::optional<TUaUserRole> Expected;
    };
    const TRow rows[] = {
        {"operator", "pa55word", TUaUserRole::ReadOnly},
        {"engineer", "pa55word", TUaUserRole::ReadWrite},
        {"operator", "pa55wore", std::nullopt},
        {"operator", "", std::nullopt},
        {"nobody", "pa55word", std::nullopt},
        {"operator\\..", "pa55word", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.Name) + "/" + row.Password);
        EXPECT_EQ(users.Check(row.Name, row.Password), row.Expected);
    }
    // A stored record from before changes its count; a damaged record never matches.
    auto write = store.OpenKey(TRootKey::LocalMachine, std::string(UaConfigKeyPath) + "\\Users\\operator");
    write->WriteString("Password", record.substr(0, record.size() - 2));
    EXPECT_EQ(users.Check("operator", "pa55word"), std::nullopt);
}

TEST(UaUserStoreTest, CommandLineAddsListsAndRemovesUsers) {
    TMemoryStore store;
    TUaUserStore users(store, TestIterations);
    std::optional<std::string> password = "secret";
    auto run = [&](std::vector<std::string> arguments, std::string& out, std::string& err) {
        std::ostringstream o;
        std::ostringstream e;
        auto result = RunUaUserCommand(arguments, users, {[&] { return password; }, o, e});
        out = o.str();
        err = e.str();
        return result;
    };
    struct TRow {
        std::vector<std::string> Arguments;
        std::optional<int> Exit;
        const char* Out;
        const char* Err;
    };
    const TRow rows[] = {
        {{"/SHOW"}, std::nullopt, "", ""},
        {{"--add-user", "anna", "--role", "read-write"}, 0, "User anna (read-write) saved\n", ""},
        {{"--role", "read-only", "--add-user", "bob"}, 0, "User bob (read-only) saved\n", ""},
        {{"--add-user", "carl", "--role", "admin"},
         2,
         "",
         "Usage: --add-user NAME --role read-only|read-write\n"},
        {{"--add-user", "carl"}, 2, "", "Usage: --add-user NAME --role read-only|read-write\n"},
        {{"--add-user", "c/arl", "--role", "read-only"},
         1,
         "",
         "A user name is 1 to 64 letters, digits and . _ @ -\n"},
        {{"--list-users"}, 0, "anna read-write\nbob read-only\n", ""},
        {{"--remove-user", "anna"}, 0, "User anna removed\n", ""},
        {{"--remove-user", "anna"}, 1, "", "No user anna\n"},
        {{"--list-users"}, 0, "bob read-only\n", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Arguments.front());
        std::string out, err;
        EXPECT_EQ(run(row.Arguments, out, err), row.Exit);
        EXPECT_EQ(out, row.Out);
        EXPECT_EQ(err, row.Err);
    }
    EXPECT_EQ(users.Check("bob", "secret"), TUaUserRole::ReadOnly);
    password.reset();
    std::string out, err;
    EXPECT_EQ(run({"--add-user", "dora", "--role", "read-only"}, out, err), 1);
    EXPECT_EQ(err, "No password given\n");
}

} // namespace
