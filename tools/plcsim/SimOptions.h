// The command line of dravon-plcsim.
#pragma once

#include "SimConfig.h"

#include <string>
#include <vector>

namespace dravon {

struct TSimOptions {
    std::vector<TSimTransportConfig> Transports;
    std::vector<std::string> Commands; // --set/--fault/--anim, run once the transports are open
    int ControlPort = -1;              // -1: no control socket
    std::string ControlAddress = "127.0.0.1";
    bool ReadStdin = true;
    bool Help = false;
};

// False with a message for a bad command line. Without any transport, TCP 127.0.0.1:3004
// with the ethernet variant is opened.
bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options, std::string& error);
const char* SimUsageText();

} // namespace dravon
