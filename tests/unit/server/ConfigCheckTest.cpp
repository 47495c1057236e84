#include "server/ConfigCheck.h"
#include "app/MemoryStore.h"

#include <gtest/gtest.h>

#include <map>
#include <variant>

namespace dravon {
namespace {

// The devices COM1 and COM2 open when the store names none.
#ifdef _WIN32
const std::string Com1Device = "\\\\.\\COM1", Com2Device = "\\\\.\\COM2";
#else
const std::string Com1Device = "/dev/ttyS0", Com2Device = "/dev/ttyS1";
#endif

using TValue = std::variant<std::uint32_t, std::string>;
using TValues = std::map<std::string, TValue>;

void Write(TMemoryStore& store, const char* path, const TValues& values) {
    auto key = store.OpenKey(TRootKey::LocalMachine, path);
    for (const auto& [name, value] : values) {
        if (const auto* number = std::get_if<std::uint32_t>(&value))
            key->WriteDword(name, *number);
        else
            key->WriteString(name, std::get<std::string>(value));
    }
}

// One row: the stored PLC list (and the endpoint's settings), and every line expected.
struct TCheckRow {
    const char* Name;
    TValues PLCList;
    TValues Ua;
    std::vector<std::string> Problems;
};

TEST(ConfigCheck, ReportsEveryKindOfProblem) {
    // Known hosts and devices; everything else does not resolve or exist.
    TConfigProbes probes;
    probes.HostResolves = [](const std::string& host) { return host == "127.0.0.1" || host == "plc.local"; };
    probes.DeviceExists = [](const std::string& path) { return path == Com1Device || path == "/dev/pts/7"; };

    // clang-format off
    const TCheckRow rows[] = {
        {"sound list",
         {{"Count", 3u}, {"PLCName0", "Tcp"}, {"DrvType0", 2u}, {"PLCIP0", "plc.local"}, {"PLCTcpPort0", 3004u},
          {"PLCName1", "Serial"}, {"DrvType1", 3u}, {"SerialCom1", 1u}, {"ProtocolType1", 1u},
          {"PLCName2", "Off"}, {"DrvType2", 0u}, {"PLCIP2", "nowhere"}},
         {{"Port", 4840u}, {"BindAddress", "127.0.0.1"}}, {}},
        {"unknown driver and protocol types",
         {{"Count", 1u}, {"PLCName0", "A"}, {"DrvType0", 7u}, {"ProtocolType0", 9u}}, {},
         {"PLC \"A\": unknown driver type 7", "PLC \"A\": unknown protocol type 9"}},
        {"duplicate names ignore case; a missing name is PLC<n>",
         {{"Count", 3u}, {"PLCName0", "Line1"}, {"PLCName1", "LINE1"}, {"PLCName2", "plc1"}, {"DrvType2", 0u},
          {"Lump0", 0u}, {"Lump1", 0u}}, {},
         {"PLC \"LINE1\": name already used by PLC \"Line1\""}},
        {"second PLC without a name takes the default of its place",
         {{"Count", 2u}, {"PLCName0", "PLC2"}, {"Lump0", 0u}, {"Lump1", 0u}}, {},
         {"PLC \"PLC2\": name already used by PLC \"PLC2\""}},
        {"ports out of range",
         {{"Count", 3u}, {"PLCName0", "U"}, {"DrvType0", 1u}, {"PLCIP0", "127.0.0.1"}, {"PLCTcpPort0", 0u},
          {"PLCName1", "T"}, {"DrvType1", 2u}, {"PLCIP1", "127.0.0.1"}, {"PLCTcpPort1", 65536u},
          {"PLCName2", "S"}, {"DrvType2", 3u}, {"SerialCom2", 9u}},
         {{"Port", 65536u}},
         {"PLC \"U\": port 0 out of range (1-65535)", "PLC \"T\": port 65536 out of range (1-65535)",
          "PLC \"S\": COM port 9 out of range (1-8)", "OPC UA: port 65536 out of range (1-65535)"}},
        {"hosts that do not resolve, the default host included",
         {{"Count", 3u}, {"PLCName0", "Named"}, {"DrvType0", 2u}, {"PLCIP0", "plc.invalid"},
          {"PLCName1", "Empty"}, {"DrvType1", 1u}, {"PLCIP1", ""}, {"PLCName2", "Default"}, {"DrvType2", 2u}},
         {{"BindAddress", "10.9.9.9"}},
         {"PLC \"Named\": host \"plc.invalid\" does not resolve", "PLC \"Empty\": host \"\" does not resolve",
          "PLC \"Default\": host \"192.168.0.1\" does not resolve",
          "OPC UA: bind address \"10.9.9.9\" does not resolve"}},
        {"serial devices that do not exist, also a configured one",
         {{"Count", 2u}, {"PLCName0", "S2"}, {"DrvType0", 3u}, {"SerialCom0", 2u},
          {"PLCName1", "S3"}, {"DrvType1", 3u}, {"SerialCom1", 3u}}, {},
         {"PLC \"S2\": serial device " + Com2Device + " (COM2) does not exist",
          "PLC \"S3\": serial device /dev/pts/99 (COM3) does not exist"}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TMemoryStore store;
        Write(store, "SOFTWARE\\Norvane\\Dravon\\PLCList", row.PLCList);
        Write(store, "SOFTWARE\\Norvane\\Dravon\\PLCList\\Serial Ports", {{"Device2", "/dev/pts/99"}});
        if (!row.Ua.empty()) Write(store, "SOFTWARE\\Norvane\\Dravon\\OpcUa", row.Ua);
        EXPECT_EQ(CheckConfiguration(store, probes), row.Problems);
    }
}

} // namespace
} // namespace dravon
