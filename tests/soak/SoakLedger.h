// What the soak's clients wrote and saw, and the end checks on it. Every served word has
// an index; every value written to it carries that index in its top bits, so a value that
// turns up at the wrong location (a stale or misrouted answer) is caught as surely as a
// lost write.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dravon::soak {

class TSoakLedger {
public:
    static constexpr std::uint16_t SerialBits = 9;
    static constexpr std::uint16_t SerialMask = (1u << SerialBits) - 1;
    static constexpr int MaxLocations = 1 << (16 - SerialBits);

    // The value location index holds before anyone writes (serial all ones).
    static std::uint16_t InitialValue(int index) { return Encode(index, SerialMask); }
    // The n-th value written to location index (n wraps below the initial serial).
    static std::uint16_t WrittenValue(int index, std::uint32_t n) {
        return Encode(index, static_cast<std::uint16_t>(n % SerialMask));
    }
    static int IndexOf(std::uint16_t value) { return value >> SerialBits; }

    // Registers a location; returns its index (the same index for the same item ID).
    int Add(const std::string& itemId);
    int Count() const { return static_cast<int>(Items_.size()); }
    const std::string& ItemId(int index) const { return Items_[static_cast<std::size_t>(index)].Id; }
    int Find(const std::string& itemId) const;
    // A value for the next write to location index, unlike the ones before it (until the
    // serial wraps).
    std::uint16_t NextValue(int index) {
        TLocation& l = Items_[static_cast<std::size_t>(index)];
        return WrittenValue(index, l.Serial++);
    }

    // A write the server accepted (its element S_OK in the Write call), in call order.
    void Written(int index, std::uint16_t value);
    // OnWriteComplete said S_OK for this element.
    void Confirmed() { ++Confirmed_; }
    // A value a client saw with a usable quality (GOOD or UNCERTAIN).
    void Observed(int index, std::uint16_t value);

    std::uint64_t WritesMade() const { return Made_; }
    std::uint64_t WritesConfirmed() const { return Confirmed_; }
    std::uint64_t Observations() const { return Observations_; }
    bool HasWrites(int index) const { return Items_[static_cast<std::size_t>(index)].Serials.any(); }
    std::uint16_t LastWritten(int index) const { return Items_[static_cast<std::size_t>(index)].Last; }

    // Faults found: the PLC memory at the end must hold the last accepted write of every
    // written location and the initial value of the others; every value seen by a client
    // and every final value must be one the location was given.
    std::vector<std::string> Check(const std::function<std::uint16_t(int index)>& plcValue) const;

private:
    static std::uint16_t Encode(int index, std::uint16_t serial) {
        return static_cast<std::uint16_t>((static_cast<unsigned>(index) << SerialBits) | serial);
    }
    bool Given(int index, std::uint16_t value) const;

    struct TLocation {
        std::string Id;
        // Serials written so far: the ledger stays the same size however long the run.
        std::bitset<SerialMask + 1> Serials;
        std::uint16_t Last = 0;
        std::uint32_t Serial = 0;
    };
    std::vector<TLocation> Items_;
    std::map<std::string, int> Index_;
    std::vector<std::string> Strays_; // observations of values never given
    std::uint64_t Made_ = 0;
    std::uint64_t Confirmed_ = 0;
    std::uint64_t Observations_ = 0;
};

} // namespace dravon::soak
