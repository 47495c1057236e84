// The simulated PLCs on their transports, run by their own thread with its own poll loop,
// so that a server under test and the simulator never block each other. Every public
// call is thread-safe.
//
//   TPlcSimulator sim({tcpConfig, udpConfig, serialConfig});
//   sim.Start(&error);              // binds 127.0.0.1, creates the pseudo-terminal
//   sim.Port(0); sim.SerialPath(2); // what was bound/created
//   sim.SetValue(0, 0x0A, 0x10, 0x1234); sim.SetFaults(f); sim.SetPower(false); ...
#pragma once

#include "SimConfig.h"
#include "SimEngine.h"
#include "SimStats.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dravon {

class TPlcSimulator {
public:
    explicit TPlcSimulator(std::vector<TSimTransportConfig> transports);
    ~TPlcSimulator();
    TPlcSimulator(const TPlcSimulator&) = delete;
    TPlcSimulator& operator=(const TPlcSimulator&) = delete;

    // Opens every transport and starts the thread; false (and the reason) when one fails.
    bool Start(std::string* error);
    void Stop();

    std::size_t TransportCount() const { return Transports_.size(); }
    std::uint16_t Port(std::size_t transport) const;     // bound TCP/UDP port
    std::string SerialPath(std::size_t transport) const; // pseudo-terminal slave or device

    void SetValue(int station, std::uint8_t code, std::uint32_t address, std::uint16_t value);
    std::uint16_t Value(int station, std::uint8_t code, std::uint32_t address) const;
    void SetFaults(const TSimFaults& faults);
    TSimFaults Faults() const;
    // Switched off: TCP connections are closed and refused, nothing is answered.
    void SetPower(bool on);
    bool Power() const;
    void CloseConnections();
    void SetLineSpeed(std::size_t transport, std::uint32_t speed);
    void AddAnimation(const TSimAnimation& animation);
    void ClearAnimations();
    TSimStats Stats() const;
    void ResetStats();
    std::size_t ConnectionCount() const;

private:
    struct TEndpoint;
    void Run();
    void Wake();
    void ApplyPower();
    static std::uint64_t NowUs();

    std::vector<TSimTransportConfig> Transports_;
    std::vector<std::unique_ptr<TEndpoint>> Endpoints_;
    mutable std::mutex Mutex_;
    TSimEngine Engine_;
    bool PowerOn_ = true;
    bool PowerApplied_ = true;
    bool CloseRequested_ = false;
    std::atomic<bool> Stopping_{false};
    int WakeRead_ = -1;
    int WakeWrite_ = -1;
    std::thread Thread_;
};

} // namespace dravon
