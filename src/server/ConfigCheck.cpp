#include "server/ConfigCheck.h"

#include "app/KeyValueStore.h"
#include "comm/SerialDevicePath.h"
#include "plc/DriverPool.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "ua/UaConfig.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace dravon {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void CheckPLCList(IKeyValueStore& store, const TConfigProbes& probes, std::vector<std::string>& problems) {
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
    if (!key) return;
    const auto storedCount = key->ReadDword("Count");
    if (!storedCount) return;
    // As the loader: a count above the number of stored values is not taken literally.
    const std::uint64_t count = std::min<std::uint64_t>(*storedCount, key->ValueNames().size());
    std::map<std::string, std::string> names; // lower-case name -> name as first stored
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        auto dword = [&](const std::string& name, std::int64_t fallback) -> std::int64_t {
            if (auto v = key->ReadDword(name + n)) return *v;
            return fallback;
        };
        const std::string name = key->ReadString("PLCName" + n).value_or("PLC" + std::to_string(i + 1));
        const std::string plc = "PLC " + Quoted(name) + ": ";
        if (auto [it, added] = names.emplace(Lower(name), name); !added)
            problems.push_back(plc + "name already used by PLC " + Quoted(it->second));

        const std::int64_t driver = dword("DrvType", DriverNone);
        if (driver > DriverSerial) problems.push_back(plc + "unknown driver type " + std::to_string(driver));
        const std::int64_t protocol = dword("ProtocolType", ProtocolUndefined);
        if (protocol > ProtocolEthernet)
            problems.push_back(plc + "unknown protocol type " + std::to_string(protocol));

        if (driver == DriverUdp || driver == DriverTcp) {
            const std::int64_t port = dword("PLCTcpPort", DefaultTcpPort);
            if (port < 1 || port > 65535)
                problems.push_back(plc + "port " + std::to_string(port) + " out of range (1-65535)");
            const std::string host = key->ReadString("PLCIP" + n).value_or(DefaultPLCHost);
            if (host.empty() || !probes.HostResolves || !probes.HostResolves(host))
                problems.push_back(plc + "host " + Quoted(host) + " does not resolve");
        } else if (driver == DriverSerial) {
            const std::int64_t com = dword("SerialCom", 1);
            if (com < 1 || com > 8) {
                problems.push_back(plc + "COM port " + std::to_string(com) + " out of range (1-8)");
            } else {
                const std::string port = "COM" + std::to_string(com);
                const std::string device = SerialDevicePath(&store, port);
                if (!probes.DeviceExists || !probes.DeviceExists(device))
                    problems.push_back(plc + "serial device " + device + " (" + port + ") does not exist");
            }
        }
    }
}

void CheckUaSettings(IKeyValueStore& store, const TConfigProbes& probes, std::vector<std::string>& problems) {
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, UaConfigKeyPath);
    if (!key) return;
    if (auto port = key->ReadDword("Port"); port && (*port < 1 || *port > 65535))
        problems.push_back("OPC UA: port " + std::to_string(*port) + " out of range (1-65535)");
    const bool allInterfaces = key->ReadDword("ListenOnAllInterfaces").value_or(0) != 0;
    if (auto address = key->ReadString("BindAddress"); address && !address->empty() && !allInterfaces)
        if (!probes.HostResolves || !probes.HostResolves(*address))
            problems.push_back("OPC UA: bind address " + Quoted(*address) + " does not resolve");
}

} // namespace

std::vector<std::string> CheckConfiguration(IKeyValueStore& store, const TConfigProbes& probes) {
    std::vector<std::string> problems;
    CheckPLCList(store, probes, problems);
    CheckUaSettings(store, probes, problems);
    return problems;
}

} // namespace dravon
