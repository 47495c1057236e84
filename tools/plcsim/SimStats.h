// Counters the simulator keeps while it runs (printed by the soak test and "stats").
#pragma once

#include <cstdint>
#include <string>

namespace dravon {

struct TSimStats {
    std::uint64_t BlockReads = 0;
    std::uint64_t RandomReads = 0;
    std::uint64_t RandomWrites = 0;
    std::uint64_t BinarySwitches = 0;
    std::uint64_t Probes = 0;
    std::uint64_t Enquiries = 0;     // handshake replies of the host
    std::uint64_t Rejections = 0;    // status 1 code 07 answers
    std::uint64_t BadFrames = 0;     // wrong checksum, garbled or unknown command
    std::uint64_t OtherStations = 0; // frames for a station not on the link
    std::uint64_t Noise = 0;         // chunks received at a line speed the PLC does not listen at
    std::uint64_t Answers = 0;
    std::uint64_t Connections = 0;
    std::uint64_t FaultLatencySpikes = 0;
    std::uint64_t FaultBusy = 0;
    std::uint64_t FaultErrors = 0;
    std::uint64_t FaultDrops = 0;
    std::uint64_t FaultSplits = 0;
    std::uint64_t FaultGarbage = 0;
    std::uint64_t FaultCloses = 0;
    std::uint64_t Ignored = 0; // requests while switched off

    std::uint64_t Requests() const { return BlockReads + RandomReads + RandomWrites + BinarySwitches; }
    std::string Text() const {
        auto f = [](const char* name, std::uint64_t v) {
            return std::string(name) + "=" + std::to_string(v) + " ";
        };
        std::string s = f("blockread", BlockReads) + f("randomread", RandomReads) +
                        f("randomwrite", RandomWrites) + f("binaryswitch", BinarySwitches) +
                        f("probe", Probes) + f("enq", Enquiries) + f("rejected", Rejections) +
                        f("bad", BadFrames) + f("otherstation", OtherStations) + f("noise", Noise) +
                        f("answers", Answers) + f("connections", Connections) +
                        f("spike", FaultLatencySpikes) + f("busy", FaultBusy) + f("error", FaultErrors) +
                        f("drop", FaultDrops) + f("split", FaultSplits) + f("garbage", FaultGarbage) +
                        f("close", FaultCloses) + f("ignored", Ignored);
        s.pop_back();
        return s;
    }
};

} // namespace dravon
