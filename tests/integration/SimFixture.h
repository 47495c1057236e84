// The fixture of the tests against dravon-plcsim: the Qt application of the suite, the
// simulator started on loopback links or a pseudo-terminal, the loop spun with a bound
// (LoopbackServer.h), and the program's own composition (ProgramServer.h) for the tests
// that act as its clients.
#pragma once

#include "LoopbackServer.h"
#include "PlcSimulator.h"
#include "ProgramServer.h"
#include "support/QtApplication.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace dravon::test {

class TSimFixture : public TQtSuite<> {
protected:
    // A simulator on these links, started; null (and a failure) when it cannot start.
    static std::unique_ptr<TPlcSimulator> StartSim(std::vector<TSimTransportConfig> links) {
        auto sim = std::make_unique<TPlcSimulator>(std::move(links));
        std::string error;
        if (sim->Start(&error)) return sim;
        ADD_FAILURE() << error;
        return nullptr;
    }
    static TSimTransportConfig Ethernet(TSimTransportKind kind) {
        TSimTransportConfig link;
        link.Kind = kind;
        link.Port = 0;
        return link;
    }
};

} // namespace dravon::test
