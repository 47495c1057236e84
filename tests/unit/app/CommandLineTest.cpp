#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

using Actions = std::vector<TRegistrationAction>;
constexpr auto Reg = TRegistrationAction::Register;
constexpr auto Unreg = TRegistrationAction::Unregister;

TEST(CommandLineTest, SwitchesInTheirOrder) {
    // Arguments; started by a client, in the tray, debug log, a registration ran; what ran.
    const std::tuple<std::vector<std::string>, bool, bool, bool, bool, Actions> cases[] = {
        // A later SHOW overrides an earlier EMBEDDING for the tray, and vice versa.
        {{"/embedding", "/show"}, true, false, false, false, {}},
        {{"/show", "/embedding"}, true, true, false, false, {}},
        // Case-insensitive, with "-" or "/".
        {{"/Register", "-dEbUgLoG"}, false, false, true, true, {Reg}},
        // Both registration switches run, in their order.
        {{"/REGISTER", "/UNREGISTER"}, false, false, false, true, {Reg, Unreg}},
        {{"-unregserver", "/regserver", "/embedding"}, true, true, false, true, {Unreg, Reg}},
        // Unknown arguments and near misses are ignored.
        // clang-format off
        {{"REGISTER", "/registerx", "--register", "/", "-", "", "file.txt", "/SHOWX"}, false, false, false, false, {}},
        // clang-format on
    };
    for (const auto& [arguments, byClient, tray, debugLog, registration, expected] : cases) {
        SCOPED_TRACE(arguments.front());
        Actions ran;
        TCommandLine line = ParseCommandLine(arguments, [&](TRegistrationAction action) {
            ran.push_back(action);
            return true;
        });
        EXPECT_EQ(std::tuple(line.StartedByClient, line.StartInTray, line.DebugLogRequested,
                             line.RegistrationRan, line.RegistrationFailed, ran),
                  std::tuple(byClient, tray, debugLog, registration, false, expected));
    }
    TCommandLine failed = ParseCommandLine({"/register"}, [](TRegistrationAction) { return false; });
    EXPECT_TRUE(failed.RegistrationRan && failed.RegistrationFailed);
}

TEST(CommandLineTest, HelpVersionAndComStartMode) {
    TCommandLine line = ParseCommandLine({"--help", "--version"}, [](TRegistrationAction) { return true; });
    EXPECT_TRUE(line.HelpRequested && line.VersionRequested);
    std::string usage = UsageText("dravon");
    for (const char* name :
         {"REGSERVER", "UNREGSERVER", "/REGISTER", "/UNREGISTER", "EMBEDDING", "AUTOMATION", "DEBUGLOG",
          "/SHOW", "--help", "--version", "--add-user", "--remove-user", "--list-users", "--check-config",
          "--status", "DRAVON_HOME", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
        EXPECT_NE(usage.find(name), std::string::npos) << name;

    // A client's start comes first.
    using enum TStartMode;
    // clang-format off
    const std::pair<std::vector<std::string>, TStartMode> modes[] = {
        {{}, StandAlone}, {{"/regserver"}, RegisterClass}, {{"-UNREGSERVER"}, UnregisterClass},
        {{"/regserver", "/Embedding"}, Automation}, {{"-automation"}, Automation}, {{"/register"}, StandAlone}};
    // clang-format on
    for (const auto& [arguments, mode] : modes) EXPECT_EQ(ComStartMode(arguments), mode) << arguments.size();
}

} // namespace
} // namespace dravon
