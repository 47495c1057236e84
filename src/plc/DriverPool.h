// What a PLC needs from the pool of shared communication drivers (implemented by the
// communication manager). The PLC model knows drivers only as opaque pointers.
#pragma once

#include <string>

namespace dravon {

class TCommDriver;
class THitachiPLC;

// Driver kinds, as in THitachiPLC::DrvType.
inline constexpr int DriverNone = 0;
inline constexpr int DriverUdp = 1;
inline constexpr int DriverTcp = 2;
inline constexpr int DriverSerial = 3;

// What the connection texts and IsIdle need to know about a driver.
struct TDriverDescription {
    int Kind = DriverNone; // 1 UDP, 2 TCP, 3 serial, other: unknown
    int Protocol = 0;
    bool SentOnce = false; // at least one request was sent
    bool BinaryMode = false;
    std::string DetectedBaudText; // serial: the detected speed text; empty while detecting
};

class IDriverPool {
public:
    virtual ~IDriverPool() = default;
    // An existing driver of the same kind, address, port and protocol (its UserCount + 1),
    // or a new one with UserCount 1. Its CurrentPLC is cleared. Null for an unknown kind.
    virtual TCommDriver* GetDriver(int kind, const std::string& address, int protocol, int comNumber,
                                   int port) = 0;
    // plc stops using driver: UserCount - 1. When the driver's CurrentPLC is plc, or its
    // read/write lists hold plc's locations, the pool clears CurrentPLC and those lists:
    // otherwise the driver's other PLCs would never be polled again, and a deleted PLC
    // would be used after it was freed.
    virtual void LeaveDriver(TCommDriver& driver, THitachiPLC& plc) = 0;
    // Frees drivers whose UserCount fell to 0, last to first.
    virtual void FreeUnusedDrivers() = 0;
    virtual TDriverDescription DescribeDriver(const TCommDriver& driver) const = 0;
};

} // namespace dravon
