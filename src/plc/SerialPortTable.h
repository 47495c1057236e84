// The eight COM port records (COM1-COM8) and their store format under
// PLCList\Serial Ports.
#pragma once

#include <array>
#include <functional>
#include <string>

namespace dravon {

class IKeyValueStore;

struct TSerialPortInfo {
    bool TrnsProc = false; // false: transmission procedure 1; true: procedure 2
    int BaudRate = -1;     // -1: detect automatically
    bool MultiDrop = false;
};

class TSerialPortTable {
public:
    static constexpr int PortCount = 8;
    static constexpr const char* KeyPath = "SOFTWARE\\Norvane\\Dravon\\PLCList\\Serial Ports";

    // Record of COM port comNumber (1-8); null outside that range.
    TSerialPortInfo* Port(int comNumber);
    const TSerialPortInfo* Port(int comNumber) const;

    std::array<TSerialPortInfo, PortCount> Ports{};

    // Reads the 24 values when the key exists; missing values keep what is there.
    void Load(IKeyValueStore& store);
    // Writes the 24 values; false when a write failed.
    bool Save(IKeyValueStore& store) const;
};

} // namespace dravon
