// The text commands of the simulator program (stdin and the control socket), one line in,
// one line out. "help" lists them.
#pragma once

#include "SimConfig.h"

#include <string>

namespace dravon {

class TPlcSimulator;

class TSimCommandInterpreter {
public:
    explicit TSimCommandInterpreter(TPlcSimulator& simulator) : Simulator_(simulator) {}

    // Returns the answer line (starting "ok" or "error"); quit is set by "quit".
    std::string Execute(const std::string& line, bool& quit);

    // One "key=value" fault setting, as in "fault latency=20 busy=7".
    static bool ApplyFault(TSimFaults& faults, const std::string& setting, std::string& error);
    static std::string FaultText(const TSimFaults& faults);
    static const char* HelpText();

private:
    TPlcSimulator& Simulator_;
};

} // namespace dravon
