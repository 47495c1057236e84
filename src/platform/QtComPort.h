// The serial-port component on QSerialPort. The port name "COMn" is mapped to a device
// through the store (comm/SerialDevicePath.h). A Linux pseudo-terminal refuses 7 data
// bits, parity and the modem-line ioctls; on such a device those refusals are noted once
// in the debug log and the line keeps working with what it has. On a real port a refused
// setting is an error that the debug log records each time.
#pragma once

#include "comm/ComPort.h"
#include "platform/QtDeleteLater.h"

#include <QSerialPort>

namespace dravon {

struct TServerContext;

class TQtComPort : public TComPort {
public:
    explicit TQtComPort(TServerContext& context);
    ~TQtComPort() override;

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

    bool Connected() const override;
    bool Open(std::string& error) override;
    void Close() override;
    bool CtsAsserted() override;
    int Read(std::uint8_t* buffer, int count) override;
    TComWriteHandle WriteAsync(const std::uint8_t* data, std::size_t length, std::string& error) override;
    void WaitForAsync(TComWriteHandle handle) override;
    void ReleaseAsync(TComWriteHandle handle) override;

    // The device the port name opens (for messages and tests).
    const std::string& DevicePath() const { return Device_; }
    bool IsPseudoTerminal() const { return PseudoTerminal_; }

    // Longest wait for a previous write to leave the port.
    static constexpr int WriteWaitLimitMs = 2000;

private:
    void ApplyAll();
    void ApplyBaud();
    void ApplyFormat();
    void ApplyModemLines();
    // Clears a refusal the device is entitled to; reports any other.
    void Check(bool ok, const char* what);

    TServerContext& Context_;
    TQtOwned<QSerialPort> Serial_;
    std::string Port_;
    std::string Device_;
    int Baud_ = 19200;
    int DataBits_ = 7;
    TComParity Parity_ = TComParity::Even;
    int StopBits_ = 1;
    TComFlowControl Flow_;
    bool PseudoTerminal_ = false;
    bool RefusalNoted_ = false;
    TComWriteHandle LastHandle_ = 0;
};

} // namespace dravon
