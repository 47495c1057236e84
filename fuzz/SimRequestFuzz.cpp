// The simulator reads whatever a host under test sends: any bytes, in any framing and on
// any link layout, are parsed, executed and answered (or dropped) without crashing or
// reading past the end, and an accepted request never claims more items than it carries.
#include "SimEngine.h"
#include "SimOutput.h"
#include "SimRequest.h"
#include "SimSession.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravon;
    if (size == 0) return 0;
    const std::uint8_t selector = data[0];
    const std::uint8_t* body = data + 1;
    const std::size_t n = size - 1;

    // The payload parser on its own, under every layout.
    for (int layoutBits = 0; layoutBits < 4; ++layoutBits) {
        TSimRequestLayout layout;
        layout.Ethernet = (layoutBits & 3) == 3;
        layout.HasStation = (layoutBits & 1) != 0;
        layout.HasLump = (layoutBits & 2) != 0;
        TSimRequest request;
        std::size_t length = 0;
        if (SimRequestLength(body, n, layout, length) == TSimParse::Ok && length > n) std::abort();
        if (ParseSimRequest(body, n, layout, request) == TSimParse::Ok) {
            if (request.ItemCount > kSimMaxItems) std::abort();
            TSimEngine engine;
            TSimLinkConfig link;
            link.Protocol = layout.Ethernet ? 3 : 1;
            std::vector<std::uint8_t> answer;
            engine.Execute(request, 0, link, answer);
            if (answer.size() > 2 * kSimMaxItems + 16) std::abort();
        }
    }

    // A whole session, the link chosen by the first byte, fed in pieces of varying size.
    TSimLinkConfig link;
    link.Protocol = 1 + selector % 3;
    link.MultiDrop = (selector & 0x04) != 0;
    link.Procedure2 = (selector & 0x08) != 0;
    link.Handshake = (selector & 0x10) != 0;
    link.IsSerial = (selector & 0x20) != 0;
    link.Framing = static_cast<TSimFraming>((selector >> 6) % 3);
    if (link.MultiDrop) link.Stations = {0, 5, 31};
    TSimEngine engine;
    TSimFaults faults;
    faults.BusyEvery = 5;
    faults.ErrorStatus = 0x12;
    faults.ErrorEvery = 7;
    faults.SplitChunk = (selector & 0x03) + 1;
    engine.SetFaults(faults);
    TSimSession session(link);
    TSimOutput out;
    std::size_t at = 0;
    std::size_t piece = 1;
    while (at < n) {
        std::size_t take = piece < n - at ? piece : n - at;
        session.Receive(body + at, take, engine, out);
        at += take;
        piece = piece * 2 + 1;
        if (piece > 64) piece = 1;
        if (out.Bytes.size() > 64 * (n + 64)) std::abort();
        if (!out.Parts.empty() && out.Parts.back().End != out.Bytes.size()) std::abort();
    }
    return 0;
}
