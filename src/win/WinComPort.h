// The serial-port component on the Win32 communications API. The port is opened for
// overlapped I/O: the loop watches an overlapped WaitCommEvent(EV_RXCHAR) and hands
// OnRxChar the waiting count on the main thread; reads take what is there without
// waiting; a write is one overlapped WriteFile that WaitForAsync waits for (bounded).
// "COMn" opens \\.\COMn unless the store names another device (comm/SerialDevicePath.h).
#pragma once

#include "comm/ComPort.h"
#include "win/WinEventLoop.h"

#include <windows.h>

#include <memory>
#include <vector>

namespace dravon {

struct TServerContext;

class TWinComPort : public TComPort {
public:
    TWinComPort(TServerContext& context, TWinEventLoop& loop);
    ~TWinComPort() override;
    TWinComPort(const TWinComPort&) = delete;
    TWinComPort& operator=(const TWinComPort&) = delete;

    void SetPort(const std::string& name) override { Port_ = name; }
    const std::string& Port() const override { return Port_; }
    void SetBaudRate(int baud) override;
    int BaudRate() const override { return Baud_; }
    void SetDataBits(int bits) override;
    int DataBits() const override { return DataBits_; }
    void SetParity(TComParity parity) override;
    TComParity Parity() const override { return Parity_; }
    void SetStopBits(int bits) override;
    int StopBits() const override { return StopBits_; }
    void SetFlowControl(const TComFlowControl& flow) override;
    const TComFlowControl& FlowControl() const override { return Flow_; }

    bool Connected() const override { return Handle_ != INVALID_HANDLE_VALUE; }
    bool Open(std::string& error) override;
    void Close() override;
    bool CtsAsserted() override;
    int Read(std::uint8_t* buffer, int count) override;
    TComWriteHandle WriteAsync(const std::uint8_t* data, std::size_t length, std::string& error) override;
    void WaitForAsync(TComWriteHandle handle) override;
    void ReleaseAsync(TComWriteHandle handle) override;

    // Longest wait for a previous write to leave the port.
    static constexpr DWORD WriteWaitLimitMs = 2000;

private:
    // One overlapped operation with its own event; must stay put while the system uses it.
    struct TOverlapped {
        TOverlapped();
        ~TOverlapped();
        TOverlapped(const TOverlapped&) = delete;
        TOverlapped& operator=(const TOverlapped&) = delete;
        OVERLAPPED Ov{};
        bool Pending = false;
    };

    void Apply();
    void ArmWait();
    void CommEvent();
    // Waits (bounded) for the pending write and frees it.
    void FinishWrite(DWORD waitMs);
    void Log(const std::string& line);

    TServerContext& Context_;
    TWinEventLoop& Loop_;
    std::string Port_;
    std::string Device_;
    int Baud_ = 19200;
    int DataBits_ = 7;
    TComParity Parity_ = TComParity::Even;
    int StopBits_ = 1;
    TComFlowControl Flow_;
    HANDLE Handle_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<TOverlapped> Wait_;
    DWORD WaitMask_ = 0;
    std::unique_ptr<TOverlapped> Write_;
    std::vector<std::uint8_t> WriteData_;
    TComWriteHandle LastHandle_ = 0;
    bool RefusalNoted_ = false;
};

} // namespace dravon
