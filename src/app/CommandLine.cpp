#include "app/CommandLine.h"

#include <cctype>

namespace dravon {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "-NAME" or "/NAME" after upper-casing.
bool IsSwitch(const std::string& upper, const char* name) {
    return (upper.size() > 1 && (upper[0] == '-' || upper[0] == '/')) &&
           upper.compare(1, std::string::npos, name) == 0;
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                              const TRegistrationRunner& runRegistration) {
    TCommandLine result;
    auto run = [&](TRegistrationAction action) {
        result.Actions.push_back(action);
        result.RegistrationRan = true;
        if (!runRegistration || !runRegistration(action)) result.RegistrationFailed = true;
    };
    for (const auto& argument : arguments) {
        if (argument == "--help") {
            result.HelpRequested = true;
            continue;
        }
        if (argument == "--version") {
            result.VersionRequested = true;
            continue;
        }
        const std::string upper = Upper(argument);
        if (IsSwitch(upper, "REGISTER") || IsSwitch(upper, "REGSERVER")) {
            run(TRegistrationAction::Register);
        } else if (IsSwitch(upper, "UNREGISTER") || IsSwitch(upper, "UNREGSERVER")) {
            run(TRegistrationAction::Unregister);
        } else if (IsSwitch(upper, "EMBEDDING")) {
            result.StartedByClient = true;
            result.StartInTray = true;
        } else if (IsSwitch(upper, "DEBUGLOG")) {
            result.DebugLogRequested = true;
        } else if (IsSwitch(upper, "SHOW")) {
            result.StartInTray = false;
        }
    }
    return result;
}

TStartMode ComStartMode(const std::vector<std::string>& arguments) {
    auto has = [&](const char* name) {
        for (const auto& argument : arguments)
            if (IsSwitch(Upper(argument), name)) return true;
        return false;
    };
    if (has("AUTOMATION") || has("EMBEDDING")) return TStartMode::Automation;
    if (has("REGSERVER")) return TStartMode::RegisterClass;
    if (has("UNREGSERVER")) return TStartMode::UnregisterClass;
    return TStartMode::StandAlone;
}

std::string UsageText(const std::string& programName) {
    return "Usage: " + programName +
           " [switch...]\n"
           "Dravon OPC Data Access Server for Hitachi PLCs.\n"
           "\n"
           "Switches start with - or /, in any case, and are processed in order:\n"
           "  /REGSERVER     register the server class (CLSID, ProgID, local server) and exit\n"
           "  /UNREGSERVER   remove the server class registration and exit\n"
           "  /REGISTER      write the OPC registration and category membership, then exit\n"
           "  /UNREGISTER    remove the OPC category membership, then exit\n"
           "  /EMBEDDING     started on behalf of a client: start hidden in the tray\n"
           "  /AUTOMATION    started by the COM layer (as /EMBEDDING for the start mode)\n"
           "  /DEBUGLOG      write the OPC call trace DravonDebug.Log\n"
           "  /SHOW          do not start hidden in the tray (overrides an earlier /EMBEDDING)\n"
           "  --help         print this text and exit\n"
           "  --version      print the version and exit\n"
           "  --add-user NAME --role read-only|read-write\n"
           "                 add an OPC UA user (or change one); the password is read from\n"
           "                 the terminal, or one line of standard input, then exit\n"
           "  --remove-user NAME  remove an OPC UA user and exit\n"
           "  --list-users   print the OPC UA users and their roles and exit\n"
           "  --check-config report every problem in the stored PLC list and settings; exit 0\n"
           "                 when there is none, 1 otherwise\n"
           "  --status       print the running server's up time, PLCs and clients; exit 1 when\n"
           "                 no server runs\n"
           "Unknown arguments are ignored.\n"
           "\n"
           "Environment:\n"
           "  DRAVON_HOME      folder for Dravon.log, DravonDebug.Log and both store files\n"
           "                   (machine.store, user.store); created when missing\n"
           "  DRAVON_MACHINE_DIR  folder of the machine-wide store without DRAVON_HOME\n"
           "                   (default /var/lib/dravon; used when it exists, read-only if need be)\n"
           "  XDG_CONFIG_HOME  per-user store location without DRAVON_HOME (default ~/.config)\n"
           "  XDG_DATA_HOME    fallback application and machine-store folder (default ~/.local/share)\n"
           "  QT_QPA_PLATFORM  Qt platform; offscreen is chosen when there is no display\n"
           "  NOTIFY_SOCKET, WATCHDOG_USEC, JOURNAL_STREAM\n"
           "                   set by systemd: readiness, status and watchdog notifications,\n"
           "                   session-log lines to the journal\n";
}

} // namespace dravon
