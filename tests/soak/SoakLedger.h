// What the soak's clients wrote and saw, and the checks on it. Every served word has an
// index in the top bits of every value written to it, so a value at the wrong location is
// caught; the low bits number the writes, which wrap after Window of them. A value seen is
// therefore judged against a floor (the newest write the PLC was known to hold when the
// request went out): older is stale, and more writes beyond the floor than the serials
// tell apart is a fault of its own rather than a silent pass.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dravon::soak {

class TSoakLedger {
public:
    static constexpr unsigned SerialBits = 9;
    static constexpr std::uint16_t SerialMask = (1u << SerialBits) - 1; // the initial value's serial
    static constexpr std::uint32_t Window = SerialMask;                 // written values told apart
    static constexpr int MaxLocations = 1 << (16 - SerialBits);

    // The value of write n to location index; write 0 is the value before anyone writes.
    static std::uint16_t ValueOf(int index, std::uint32_t n) {
        return static_cast<std::uint16_t>((static_cast<unsigned>(index) << SerialBits) |
                                          (n == 0 ? SerialMask : (n - 1) % Window));
    }
    static std::uint16_t InitialValue(int index) { return ValueOf(index, 0); }

    // Registers a location; returns its index (the same index for the same item ID).
    int Add(const std::string& itemId);
    int Count() const { return static_cast<int>(Items_.size()); }
    const std::string& ItemId(int index) const { return At(index).Id; }

    // The value of a new write to location index.
    std::uint16_t NextValue(int index);
    // The server took the value: it may show it from now on.
    void Given(int index, std::uint16_t value);
    // The PLC holds the value (or a newer one) now; checked against Plc when that is set.
    void Confirmed(int index, std::uint16_t value);
    // The server dropped the value (the client was told the write failed).
    void Refused(int index, std::uint16_t value);
    // The newest write the PLC is known to hold.
    std::uint32_t Floor(int index) const { return At(index).Floor; }
    // A value a client saw with a usable quality; floor: Floor() when its request went out
    // (none where the order of events is unknown).
    void Observed(int index, std::uint16_t value, std::optional<std::uint32_t> floor);
    // The value the PLC must hold once every write is done: the newest not refused.
    std::uint16_t Expected(int index) const;

    std::uint64_t WritesMade() const { return Made_; }
    std::uint64_t WritesConfirmed() const { return Confirmed_; }
    std::uint64_t Observations() const { return Observations_; }

    // Faults found: every stray observation, and every location whose PLC memory at the
    // end is not the value it is expected to hold.
    std::vector<std::string> Check(const std::function<std::uint16_t(int index)>& plcValue) const;

    // The PLC's memory now (for the check at each confirmation); none: not checked.
    std::function<std::uint16_t(int index)> Plc;

private:
    enum : std::uint8_t { GivenBit = 1, RefusedBit = 2 };
    struct TLocation {
        std::string Id;
        std::uint32_t Writes = 0; // numbered from 1
        std::uint32_t Floor = 0;
        std::array<std::uint8_t, Window> State{}; // of the newest write with each serial
    };
    const TLocation& At(int index) const { return Items_[static_cast<std::size_t>(index)]; }
    TLocation& At(int index) { return Items_[static_cast<std::size_t>(index)]; }
    // The newest write that had this value, if any.
    std::optional<std::uint32_t> WriteOf(int index, std::uint16_t value) const;
    void Stray(std::string text);

    std::vector<TLocation> Items_;
    std::map<std::string, int> Index_;
    std::vector<std::string> Strays_;
    std::uint64_t Made_ = 0;
    std::uint64_t Confirmed_ = 0;
    std::uint64_t Observations_ = 0;
};

// What one client got done in a run; a client that did little proves little.
struct TSoakActivity {
    std::string Name;
    std::uint64_t Writes = 0;   // confirmed
    std::uint64_t Reads = 0;    // values read from the device
    std::uint64_t Notified = 0; // values in notifications
};
// At least one of each per 2 s of the run.
std::vector<std::string> CheckActivity(const std::vector<TSoakActivity>& clients, std::uint32_t runSeconds);

std::string Hex(std::uint32_t value, int digits = 4);

} // namespace dravon::soak
