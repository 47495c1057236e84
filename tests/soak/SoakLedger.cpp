#include "SoakLedger.h"

#include <cstdio>

namespace dravon::soak {

namespace {

std::string Hex(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

} // namespace

int TSoakLedger::Add(const std::string& itemId) {
    if (int found = Find(itemId); found >= 0) return found;
    const int index = static_cast<int>(Items_.size());
    Items_.push_back({itemId, {}, InitialValue(index), 0});
    Index_[itemId] = index;
    return index;
}

int TSoakLedger::Find(const std::string& itemId) const {
    auto it = Index_.find(itemId);
    return it == Index_.end() ? -1 : it->second;
}

void TSoakLedger::Written(int index, std::uint16_t value) {
    TLocation& l = Items_[static_cast<std::size_t>(index)];
    l.Serials.set(value & SerialMask);
    l.Last = value;
    ++Made_;
}

bool TSoakLedger::Given(int index, std::uint16_t value) const {
    if (IndexOf(value) != index) return false;
    return value == InitialValue(index) ||
           Items_[static_cast<std::size_t>(index)].Serials.test(value & SerialMask);
}

void TSoakLedger::Observed(int index, std::uint16_t value) {
    ++Observations_;
    // Only the first few strays are kept: one is a failure already.
    if (!Given(index, value) && Strays_.size() < 20)
        Strays_.push_back(ItemId(index) + " showed " + Hex(value) + ", a value it was never given");
}

std::vector<std::string> TSoakLedger::Check(const std::function<std::uint16_t(int index)>& plcValue) const {
    std::vector<std::string> faults = Strays_;
    for (int i = 0; i < Count(); ++i) {
        const std::uint16_t actual = plcValue(i);
        const TLocation& l = Items_[static_cast<std::size_t>(i)];
        if (actual == l.Last) continue;
        if (!Given(i, actual))
            faults.push_back(l.Id + " holds " + Hex(actual) + " in the PLC, a value it was never given");
        else
            faults.push_back(l.Id + " holds " + Hex(actual) +
                             " in the PLC, but the last accepted write was " + Hex(l.Last));
    }
    return faults;
}

} // namespace dravon::soak
