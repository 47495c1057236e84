// The clock of the communication engine and the pool of shared drivers. A 15 ms timer
// runs the driver cycle over every PLC in list order; a receive handler asks for a run at
// once through a posted event (the run-now message), so the next request leaves as soon as
// an answer is in.
#pragma once

#include "plc/DriverPool.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dravon {

class IDriverFactory;
class ITimer;
class TCommDriver;
class THitachiPLC;
class TPLCCollection;
struct TServerContext;

class TCommManager : public IDriverPool {
public:
    static constexpr std::uint32_t TimerInterval = 15;
    static constexpr std::uint32_t CycleWindow = 200;

    // Creates the timer (enabled) and takes the current tick. plcs may be null until the
    // PLC list exists; new drivers come from factory (none without one). The caller
    // then hands the pool to the list: plcs->SetDriverPool(&manager).
    TCommManager(TServerContext& context, TPLCCollection* plcs, IDriverFactory* factory);
    // Disables the timer, detaches the PLC list from the pool and frees the drivers.
    ~TCommManager() override;
    TCommManager(const TCommManager&) = delete;
    TCommManager& operator=(const TCommManager&) = delete;

    int CyclesPerWindow = 0;
    int CycleCount = 0;
    std::uint32_t WindowStartTick = 0;
    std::uint32_t Now = 0;
    int Elapsed = 0;
    bool RunAgain = false;

    void SetPLCs(TPLCCollection* plcs) { PLCs_ = plcs; }
    TPLCCollection* PLCs() const { return PLCs_; }
    ITimer& Timer() const { return *Timer_; }

    // The timer's handler, and the run-now message's.
    void OnTimerTick();
    void RunCycle();
    // One visit of one PLC in one cycle run.
    void ServicePLC(THitachiPLC& plc);
    // Posts the run-now event to the main loop (safe after the manager is gone).
    void PostRunNow();

    // The 300 ms refresh: Idle on every used driver, cleared where a PLC has locations;
    // then idle serial ports close.
    void MarkIdleDrivers();

    // IDriverPool
    TCommDriver* GetDriver(int kind, const std::string& address, int protocol, int comNumber,
                           int port) override;
    void LeaveDriver(TCommDriver& driver, THitachiPLC& plc) override;
    void FreeUnusedDrivers() override;
    TDriverDescription DescribeDriver(const TCommDriver& driver) const override;

    const std::vector<std::unique_ptr<TCommDriver>>& Drivers() const { return Drivers_; }

private:
    void RecordError(THitachiPLC& plc, TCommDriver& driver, int code, bool& recorded);
    void ResetPass(THitachiPLC& plc);
    void TimeOutCheck(THitachiPLC& plc, TCommDriver& driver);
    void FillRequest(THitachiPLC& plc, TCommDriver& driver, int start);

    TServerContext& Context_;
    TPLCCollection* PLCs_ = nullptr;
    IDriverFactory* Factory_ = nullptr;
    std::unique_ptr<ITimer> Timer_;
    std::vector<std::unique_ptr<TCommDriver>> Drivers_;
    std::shared_ptr<TCommManager*> Alive_;
};

} // namespace dravon
