#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

using Actions = std::vector<TRegistrationAction>;

TCommandLine Parse(const std::vector<std::string>& arguments, Actions* ran = nullptr, bool succeed = true) {
    return ParseCommandLine(arguments, [&](TRegistrationAction action) {
        if (ran) ran->push_back(action);
        return succeed;
    });
}

TEST(CommandLineTest, EmbeddingThenShowLeavesClientStartButNotTray) {
    TCommandLine line = Parse({"/embedding", "/show"});
    EXPECT_TRUE(line.StartedByClient);
    EXPECT_FALSE(line.StartInTray);
    EXPECT_FALSE(line.RegistrationRan);
}

TEST(CommandLineTest, ShowThenEmbeddingStartsInTray) {
    TCommandLine line = Parse({"/show", "/embedding"});
    EXPECT_TRUE(line.StartedByClient);
    EXPECT_TRUE(line.StartInTray);
}

TEST(CommandLineTest, SwitchesAreCaseInsensitiveWithDashOrSlash) {
    Actions ran;
    TCommandLine line = Parse({"/Register", "-dEbUgLoG"}, &ran);
    EXPECT_TRUE(line.RegistrationRan);
    EXPECT_TRUE(line.DebugLogRequested);
    EXPECT_EQ(ran, Actions{TRegistrationAction::Register});
}

TEST(CommandLineTest, BothRegistrationSwitchesRunInTheirOrder) {
    Actions ran;
    TCommandLine line = Parse({"/REGISTER", "/UNREGISTER"}, &ran);
    EXPECT_TRUE(line.RegistrationRan);
    EXPECT_EQ(ran, (Actions{TRegistrationAction::Register, TRegistrationAction::Unregister}));
    ran.clear();
    Parse({"-unregserver", "/regserver", "/embedding"}, &ran);
    EXPECT_EQ(ran, (Actions{TRegistrationAction::Unregister, TRegistrationAction::Register}));
}

TEST(CommandLineTest, UnknownArgumentsAndNearMissesAreIgnored) {
    Actions ran;
    TCommandLine line =
        Parse({"REGISTER", "/registerx", "--register", "/", "-", "", "file.txt", "/SHOWX"}, &ran);
    EXPECT_TRUE(ran.empty());
    EXPECT_FALSE(line.RegistrationRan);
    EXPECT_FALSE(line.StartedByClient);
    EXPECT_FALSE(line.DebugLogRequested);
}

TEST(CommandLineTest, FailedRegistrationIsReported) {
    TCommandLine line = Parse({"/register"}, nullptr, false);
    EXPECT_TRUE(line.RegistrationRan);
    EXPECT_TRUE(line.RegistrationFailed);
}

TEST(CommandLineTest, HelpAndVersion) {
    TCommandLine line = Parse({"--help", "--version"});
    EXPECT_TRUE(line.HelpRequested);
    EXPECT_TRUE(line.VersionRequested);
    std::string usage = UsageText("dravon");
    for (const char* name :
         {"REGSERVER", "UNREGSERVER", "/REGISTER", "/UNREGISTER", "EMBEDDING", "AUTOMATION", "DEBUGLOG",
          "/SHOW", "--help", "--version", "--add-user", "--remove-user", "--list-users", "--check-config",
          "--status", "DRAVON_HOME", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
        EXPECT_NE(usage.find(name), std::string::npos) << name;
}

TEST(CommandLineTest, ComStartModeTakesClientStartFirst) {
    EXPECT_EQ(ComStartMode({}), TStartMode::StandAlone);
    EXPECT_EQ(ComStartMode({"/regserver"}), TStartMode::RegisterClass);
    EXPECT_EQ(ComStartMode({"-UNREGSERVER"}), TStartMode::UnregisterClass);
    EXPECT_EQ(ComStartMode({"/regserver", "/Embedding"}), TStartMode::Automation);
    EXPECT_EQ(ComStartMode({"-automation"}), TStartMode::Automation);
    EXPECT_EQ(ComStartMode({"/register"}), TStartMode::StandAlone);
}

} // namespace
} // namespace dravon
