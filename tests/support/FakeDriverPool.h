// A stand-in for the communication manager's driver pool: records which PLCs attach to
// which driver, shares drivers by kind/address/port/protocol and frees unused ones.
// Drivers are opaque to the PLC model, so a record is handed out as a TCommDriver pointer
// and only ever turned back into a record here.
#pragma once

#include "plc/DriverPool.h"

#include <memory>
#include <string>
#include <vector>

namespace dravon::test {

struct TFakeDriver {
    int Kind = 0;
    std::string Address;
    int Protocol = 0;
    int ComNumber = 0;
    int Port = 0;
    int UserCount = 0;
    const THitachiPLC* CurrentPLC = nullptr;
    bool SentOnce = false;
    bool BinaryMode = false;
    std::string DetectedBaudText;
};

class TFakeDriverPool : public IDriverPool {
public:
    std::vector<std::unique_ptr<TFakeDriver>> Drivers;
    int Leaves = 0;

    static TFakeDriver& Of(TCommDriver* driver) { return *reinterpret_cast<TFakeDriver*>(driver); }
    static const TFakeDriver& Of(const TCommDriver& driver) {
        return *reinterpret_cast<const TFakeDriver*>(&driver);
    }

    TCommDriver* GetDriver(int kind, const std::string& address, int protocol, int comNumber,
                           int port) override {
        if (kind < DriverUdp || kind > DriverSerial) return nullptr;
        for (auto& d : Drivers) {
            bool same =
                d->Kind == kind && d->Protocol == protocol &&
                (kind == DriverSerial ? d->ComNumber == comNumber : d->Address == address && d->Port == port);
            if (same) {
                ++d->UserCount;
                d->CurrentPLC = nullptr;
                return reinterpret_cast<TCommDriver*>(d.get());
            }
        }
        auto d = std::make_unique<TFakeDriver>();
        d->Kind = kind;
        d->Address = address;
        d->Protocol = protocol;
        d->ComNumber = comNumber;
        d->Port = port;
        d->UserCount = 1;
        Drivers.push_back(std::move(d));
        return reinterpret_cast<TCommDriver*>(Drivers.back().get());
    }
    void LeaveDriver(TCommDriver& driver, THitachiPLC& plc) override {
        TFakeDriver& d = *reinterpret_cast<TFakeDriver*>(&driver);
        --d.UserCount;
        if (d.CurrentPLC == &plc) d.CurrentPLC = nullptr;
        ++Leaves;
    }
    void FreeUnusedDrivers() override {
        for (std::size_t i = Drivers.size(); i-- > 0;)
            if (Drivers[i]->UserCount <= 0) Drivers.erase(Drivers.begin() + static_cast<std::ptrdiff_t>(i));
    }
    TDriverDescription DescribeDriver(const TCommDriver& driver) const override {
        const TFakeDriver& d = Of(driver);
        return {d.Kind, d.Protocol, d.SentOnce, d.BinaryMode, d.DetectedBaudText};
    }
};

} // namespace dravon::test
