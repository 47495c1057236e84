// Small helpers for literal frames: the checksums stay in the literals, nothing is computed.
#pragma once

#include "SimEngine.h"
#include "SimOutput.h"
#include "SimSession.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace dravon::test {

using TBytes = std::vector<std::uint8_t>;

inline TBytes Bytes(std::initializer_list<int> values) {
    TBytes b;
    for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

// Bytes written as hex digits, two per byte.
inline TBytes Hex(const std::string& digits) {
    TBytes b;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return b;
}

// STX, the characters as given, CR.
inline TBytes Ascii(const std::string& characters) {
    TBytes b{0x02};
    b.insert(b.end(), characters.begin(), characters.end());
    b.push_back(0x0D);
    return b;
}

inline TBytes Text(const std::string& characters) { return TBytes(characters.begin(), characters.end()); }

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
