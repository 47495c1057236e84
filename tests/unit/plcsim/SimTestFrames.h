// Small helpers for literal frames: the checksums stay in the literals, nothing is computed.
#pragma once

#include "SimEngine.h"
#include "SimOutput.h"
#include "SimSession.h"
#include "support/Frames.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravon::test {

// One session and its engine; Send returns everything the PLC side answered.
struct TSimHarness {
    explicit TSimHarness(const TSimLinkConfig& link) : Session(link) {}
    TSimEngine Engine;
    TSimSession Session;
    TSimOutput Out;

    TBytes Send(const TBytes& bytes) {
        Out.Clear();
        Session.Receive(bytes.data(), bytes.size(), Engine, Out);
        return Out.Bytes;
    }
    // Byte by byte, as a slow serial line delivers it.
    TBytes Trickle(const TBytes& bytes) {
        Out.Clear();
        for (std::uint8_t b : bytes) Session.Receive(&b, 1, Engine, Out);
        return Out.Bytes;
    }
};

inline TSimLinkConfig SerialLink() {
    TSimLinkConfig link;
    link.Protocol = 1;
    link.IsSerial = true;
    return link;
}

} // namespace dravon::test
