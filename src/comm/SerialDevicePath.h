// Which device a COM port name opens. COM1 to COM8 map to /dev/ttyS0 to /dev/ttyS7 (on
// Windows to the ports themselves, \\.\COM1 to \\.\COM8) unless
// the store names another device for that port (string value "Device" + (port - 1) under
// the serial-port key), which is how a pseudo-terminal or a USB adapter is configured.
#pragma once

#include "app/KeyValueStore.h"

#include <string>

namespace dravon {

inline constexpr const char* SerialPortsKeyPath = "SOFTWARE\\Norvane\\Dravon\\PLCList\\Serial Ports";

// 1 to 8 for "COM1" to "COM8", else 0.
inline int ComPortNumber(const std::string& name) {
    if (name.size() != 4 || name.compare(0, 3, "COM") != 0) return 0;
    char digit = name[3];
    return digit >= '1' && digit <= '8' ? digit - '0' : 0;
}

// Empty for a name that is not COM1 to COM8.
inline std::string SerialDevicePath(IKeyValueStore* store, const std::string& portName) {
    int number = ComPortNumber(portName);
    if (number == 0) return {};
    if (store) {
        if (auto key = store->OpenKeyReadOnly(TRootKey::LocalMachine, SerialPortsKeyPath)) {
            auto device = key->ReadString("Device" + std::to_string(number - 1));
            if (device && !device->empty()) return *device;
        }
    }
#ifdef _WIN32
    return "\\\\.\\COM" + std::to_string(number);
#else
    return "/dev/ttyS" + std::to_string(number - 1);
#endif
}

} // namespace dravon
