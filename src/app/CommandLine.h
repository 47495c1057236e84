// The program's switches, "-" or "/" in front, any case, processed in argument order.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dravon {

enum class TRegistrationAction { Register, Unregister };

struct TCommandLine {
    bool StartedByClient = false;
    bool StartInTray = false;
    bool DebugLogRequested = false;
    // A registration switch ran: the process ends without creating a window.
    bool RegistrationRan = false;
    bool RegistrationFailed = false;
    std::vector<TRegistrationAction> Actions; // in the order they ran
    bool HelpRequested = false;               // --help
    bool VersionRequested = false;            // --version
};

// The result of one registration action: false when it failed.
using TRegistrationRunner = std::function<bool(TRegistrationAction)>;

// Clears the start-up state, then walks the arguments (without the program name) in
// order; the first matching switch decides an argument, unknown ones are ignored.
// Registration switches run through runRegistration as they are met.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                              const TRegistrationRunner& runRegistration);

// How the COM layer would start: client start, class registration or removal, or plain.
enum class TStartMode { StandAlone, Automation, RegisterClass, UnregisterClass };
TStartMode ComStartMode(const std::vector<std::string>& arguments);

// The text of --help: every switch and environment variable.
std::string UsageText(const std::string& programName);

} // namespace dravon
