#include "plc/SerialPortTable.h"

#include "app/KeyValueStore.h"

namespace dravon {

TSerialPortInfo* TSerialPortTable::Port(int comNumber) {
    return comNumber >= 1 && comNumber <= PortCount ? &Ports[static_cast<std::size_t>(comNumber - 1)]
                                                    : nullptr;
}

const TSerialPortInfo* TSerialPortTable::Port(int comNumber) const {
    return comNumber >= 1 && comNumber <= PortCount ? &Ports[static_cast<std::size_t>(comNumber - 1)]
                                                    : nullptr;
}

void TSerialPortTable::Load(IKeyValueStore& store) {
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, KeyPath);
    if (!key) return;
    for (int p = 0; p < PortCount; ++p) {
        TSerialPortInfo& port = Ports[static_cast<std::size_t>(p)];
        const std::string n = std::to_string(p);
        if (auto v = key->ReadDword("BaudRate" + n)) port.BaudRate = static_cast<int>(*v);
        if (auto v = key->ReadDword("MultiDrop" + n)) port.MultiDrop = *v != 0;
        if (auto v = key->ReadDword("TrnsProc" + n)) port.TrnsProc = *v != 0;
    }
}

bool TSerialPortTable::Save(IKeyValueStore& store) const {
    auto key = store.OpenKey(TRootKey::LocalMachine, KeyPath);
    if (!key) return false;
    bool ok = true;
    for (int p = 0; p < PortCount; ++p) {
        const TSerialPortInfo& port = Ports[static_cast<std::size_t>(p)];
        const std::string n = std::to_string(p);
        ok = key->WriteDword("BaudRate" + n, static_cast<std::uint32_t>(port.BaudRate)) && ok;
        ok = key->WriteDword("MultiDrop" + n, port.MultiDrop ? 1 : 0) && ok;
        ok = key->WriteDword("TrnsProc" + n, port.TrnsProc ? 1 : 0) && ok;
    }
    return ok;
}

} // namespace dravon
