// User names for the endpoint: what their file keeps, what a login checks, and the
// --add-user / --remove-user / --list-users switches as an operator types them.
#include "ua/security/UaUserStore.h"
#include "app/MemoryStore.h"
#include "ua/UaConfig.h"
#include "unit/app/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace dravon;
using namespace dravon::test;

namespace {

// Few iterations keep the sanitizer build quick; the stored record says how many were used.
constexpr std::uint32_t TestIterations = 1000;

// The permission bits; -1 when the file is missing.
int Mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

TEST(UaUserStoreTest, PasswordsAreStoredAsSaltedHashesAndChecked) {
    TTempDir dir;
    const std::string file = dir.File("etc/users");
    // The server's copy reads first, so the later additions test its reload.
    TUaUserStore server(file, TestIterations);
    EXPECT_EQ(server.Check("operator", "pa55word"), std::nullopt);
    TUaUserStore users(file, TestIterations);
    std::string error;
    ASSERT_TRUE(users.Add("operator", "pa55word", TUaUserRole::ReadOnly, error)) << error;
    ASSERT_TRUE(users.Add("engineer", "pa55word", TUaUserRole::ReadWrite, error)) << error;
    std::string text = ReadFile(file);
    const auto engineerAt = text.find("\"pbkdf2-sha256$1000$");
    const auto at =
        text.find("\"pbkdf2-sha256$1000$", text.find("key HKEY_LOCAL_MACHINE \"Users\\\\operator\""));
    ASSERT_NE(at, std::string::npos) << text;
    const std::string record = text.substr(at + 1, std::string("pbkdf2-sha256$1000$").size() + 32 + 1 + 64);
    EXPECT_EQ(text.find("pa55word"), std::string::npos);
    EXPECT_NE(text.find("string \"Role\" \"read-only\""), std::string::npos) << text;
    // The same password under another salt hashes differently.
    EXPECT_NE(text.substr(engineerAt + 1, record.size()), record);

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
        EXPECT_EQ(server.Check(row.Name, row.Password), row.Expected);
    }
    EXPECT_TRUE(users.Add("a.b_c@d-" + std::string(56, 'n'), "pa55word", TUaUserRole::ReadOnly, error))
        << error;
    EXPECT_TRUE(users.Add("long", std::string(256, 'p'), TUaUserRole::ReadOnly, error)) << error;
    EXPECT_FALSE(users.Add("long", std::string(257, 'p'), TUaUserRole::ReadOnly, error));
    EXPECT_EQ(error, "A password has 1 to 256 characters");
    // A damaged record never matches; a file that does not parse holds no users.
    const auto damaged = text.substr(0, at + record.size() - 1) + text.substr(at + record.size() + 1);
    WriteFile(file, damaged);
    EXPECT_EQ(server.Check("operator", "pa55word"), std::nullopt);
    EXPECT_EQ(server.Check("engineer", "pa55word"), TUaUserRole::ReadWrite);
    WriteFile(file, damaged + "junk\n");
    EXPECT_EQ(server.Check("engineer", "pa55word"), std::nullopt);
    EXPECT_FALSE(users.Add("anna", "pa55word", TUaUserRole::ReadOnly, error));
    EXPECT_EQ(error, "The users file " + file + " cannot be read");
}

TEST(UaUserStoreTest, CommandLineAddsListsAndRemovesUsers) {
    TTempDir dir;
    const std::string file = dir.File("users");
    TUaUserStore users(file, TestIterations);
    // A user as an older version kept it in the machine store, moved out by the first command.
    TMemoryStore store;
    const std::string oldPath = std::string(UaConfigKeyPath) + "\\Users";
    auto old = store.OpenKey(TRootKey::LocalMachine, oldPath + "\\carl");
    old->WriteString("Role", "read-only");
    old->WriteString("Password", "pbkdf2-sha256$1000$00112233445566778899aabbccddeeff$"
                                 "588372775fb38b5711b6f36b465e293dc7b793e008550ee8a10bb26a8e7f85b8");
    store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Other")->WriteString("Kept", "yes");
    std::optional<std::string> password = "secret";
    // Exit code, output and errors of one command.
    auto run = [&](std::vector<std::string> arguments) {
        std::ostringstream o, e;
        auto result = RunUaUserCommand(arguments, users, {[&] { return password; }, o, e, &store});
        return std::tuple(result, o.str(), e.str());
    };
    struct TRow {
        std::vector<std::string> Arguments;
        std::optional<int> Exit;
        const char* Out;
        const char* Err;
    };
    const char* usage = "Usage: --add-user NAME --role read-only|read-write\n";
    const TRow rows[] = {
        {{"/SHOW"}, std::nullopt, "", ""},
        {{"--list-users"}, 0, "carl read-only\n", ""},
        {{"--add-user", "anna", "--role", "read-write"}, 0, "User anna (read-write) saved\n", ""},
        {{"--role", "read-only", "--add-user", "bob"}, 0, "User bob (read-only) saved\n", ""},
        {{"--add-user", "dan", "--role", "admin"}, 2, "", usage},
        {{"--add-user", "dan", "--role"}, 2, "", usage},
        // clang-format off
        {{"--add-user", "c/arl", "--role", "read-only"}, 1, "", "A user name is 1 to 64 letters, digits and . _ @ -\n"},
        {{"--add-user", std::string(65, 'c'), "--role", "read-only"}, 1, "", "A user name is 1 to 64 letters, digits and . _ @ -\n"},
        // clang-format on
        {{"--list-users"}, 0, "anna read-write\nbob read-only\ncarl read-only\n", ""},
        {{"--remove-user", "anna"}, 0, "User anna removed\n", ""},
        {{"--remove-user", "anna"}, 1, "", "No user anna\n"},
        {{"--list-users"}, 0, "bob read-only\ncarl read-only\n", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Arguments.front());
        // The first command tells of the move.
        const std::string moved =
            &row == &rows[1] ? "OPC UA users moved from the machine store to " + file + ": 1\n" : "";
        EXPECT_EQ(run(row.Arguments), std::tuple(row.Exit, moved + row.Out, std::string(row.Err)));
        // Every rewrite leaves the hashes readable by the owner only.
        EXPECT_EQ(Mode(file), row.Exit ? 0600 : -1);
    }
    EXPECT_FALSE(store.KeyExists(TRootKey::LocalMachine, oldPath));
    EXPECT_TRUE(store.KeyExists(TRootKey::LocalMachine, "SOFTWARE\\Other"));
    EXPECT_EQ(users.Check("bob", "secret"), TUaUserRole::ReadOnly);
    EXPECT_EQ(users.Check("carl", "secret"), TUaUserRole::ReadOnly);
    // A user already in the file keeps its record when an older store names it too.
    store.OpenKey(TRootKey::LocalMachine, oldPath + "\\bob")->WriteString("Role", "read-write");
    EXPECT_EQ(run({"--list-users"}), std::tuple(0, "bob read-only\ncarl read-only\n", ""));
    password.reset();
    EXPECT_EQ(run({"--add-user", "dora", "--role", "read-only"}), std::tuple(1, "", "No password given\n"));
    // Root adding a user for the service hands the file to the folder's owner.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.Path.c_str(), 65534, 65534), 0);
        password = "secret";
        EXPECT_EQ(std::get<0>(run({"--add-user", "eve", "--role", "read-only"})), 0);
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(Mode(file), 0600);
    }
}

} // namespace
