// `dravon --check-config`: every problem in the stored PLC list and settings that would
// keep a PLC or the endpoint from working, one line each, without starting anything.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dravon {

class IKeyValueStore;

// How the check reaches the machine: name lookup and device files.
struct TConfigProbes {
    std::function<bool(const std::string& host)> HostResolves;
    std::function<bool(const std::string& path)> DeviceExists;
};

// Unknown driver and protocol types, duplicate PLC names (ignoring case, as item IDs
// find them), ports out of range, hosts that do not resolve, serial devices that do
// not exist; empty when there are none.
std::vector<std::string> CheckConfiguration(IKeyValueStore& store, const TConfigProbes& probes);

} // namespace dravon
