#include "SoakLedger.h"

#include <cstdio>

namespace dravon::soak {

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

int TSoakLedger::Add(const std::string& itemId) {
    auto [it, added] = Index_.emplace(itemId, Count());
    if (added) Items_.push_back({itemId});
    return it->second;
}

std::uint16_t TSoakLedger::NextValue(int index) {
    TLocation& l = At(index);
    ++l.Writes;
    l.State[(l.Writes - 1) % Window] = 0;
    return ValueOf(index, l.Writes);
}

std::optional<std::uint32_t> TSoakLedger::WriteOf(int index, std::uint16_t value) const {
    const std::uint32_t serial = value & SerialMask;
    const std::uint32_t writes = At(index).Writes;
    if (value >> SerialBits != static_cast<unsigned>(index)) return std::nullopt;
    if (serial == SerialMask) return 0u;
    if (writes <= serial) return std::nullopt;
    const std::uint32_t n = serial + 1 + (writes - 1 - serial) / Window * Window;
    if (!(At(index).State[serial] & GivenBit)) return std::nullopt;
    return n;
}

void TSoakLedger::Given(int index, std::uint16_t value) {
    At(index).State[value & SerialMask] |= GivenBit;
    ++Made_;
}

void TSoakLedger::Refused(int index, std::uint16_t value) {
    At(index).State[value & SerialMask] |= RefusedBit;
}

void TSoakLedger::Confirmed(int index, std::uint16_t value) {
    ++Confirmed_;
    if (auto n = WriteOf(index, value); n && *n > At(index).Floor) At(index).Floor = *n;
    // The PLC holds the value at this moment, or a newer one.
    if (!Plc) return;
    const std::uint16_t held = Plc(index);
    if (auto n = WriteOf(index, held); !n || *n < At(index).Floor)
        Stray(ItemId(index) + " holds " + Hex(held) + " in the PLC although write " +
              std::to_string(At(index).Floor) + " was confirmed");
}

void TSoakLedger::Stray(std::string text) {
    // Only the first few are kept: one is a failure already.
    if (Strays_.size() < 20) Strays_.push_back(std::move(text));
}

void TSoakLedger::Observed(int index, std::uint16_t value, std::optional<std::uint32_t> floor) {
    ++Observations_;
    const TLocation& l = At(index);
    const auto n = WriteOf(index, value);
    if (!n)
        Stray(l.Id + " showed " + Hex(value) + ", a value it was never given");
    else if (floor && *n < *floor)
        Stray(l.Id + " showed " + Hex(value) + " (write " + std::to_string(*n) + ") after write " +
              std::to_string(*floor) + " had reached the PLC: a stale value");
    else if (floor && l.Writes - *floor >= Window)
        Stray(l.Id + " had " + std::to_string(l.Writes - *floor) +
              " writes beyond the one the PLC holds: more than its values tell apart");
}

std::uint16_t TSoakLedger::Expected(int index) const {
    const TLocation& l = At(index);
    std::uint32_t n = l.Writes;
    for (; n > l.Floor && n + Window > l.Writes; --n)
        if ((l.State[(n - 1) % Window] & (GivenBit | RefusedBit)) == GivenBit) break;
    return ValueOf(index, n > l.Floor && n + Window > l.Writes ? n : l.Floor);
}

std::vector<std::string> TSoakLedger::Check(const std::function<std::uint16_t(int index)>& plcValue) const {
    std::vector<std::string> faults = Strays_;
    for (int i = 0; i < Count(); ++i) {
        const std::uint16_t actual = plcValue(i);
        const std::uint16_t expected = Expected(i);
        if (actual == expected) continue;
        faults.push_back(ItemId(i) + " holds " + Hex(actual) + " in the PLC, " +
                         (WriteOf(i, actual) ? "but the last write it kept was " + Hex(expected)
                                             : std::string("a value it was never given")));
    }
    return faults;
}

std::vector<std::string> CheckActivity(const std::vector<TSoakActivity>& clients, std::uint32_t runSeconds) {
    const std::uint64_t minimum = runSeconds / 2;
    std::vector<std::string> faults;
    for (const TSoakActivity& c : clients)
        for (auto [count, what] : {std::pair{c.Writes, "confirmed writes"}, std::pair{c.Reads, "values read"},
                                   std::pair{c.Notified, "values notified"}})
            if (count < minimum)
                faults.push_back(c.Name + " did too little: " + std::to_string(count) + " " + what +
                                 " (at least " + std::to_string(minimum) + ")");
    return faults;
}

} // namespace dravon::soak
