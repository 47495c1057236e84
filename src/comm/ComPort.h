// The serial-port component a serial driver talks to: the members and the one event the
// driver uses, nothing more. src/platform implements it with QSerialPort; tests use a
// recording fake. COM ports are named "COM1" to "COM8"; which device a name opens is the
// implementation's business (see SerialDevicePath.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace dravon {

enum class TComParity { None, Even };

struct TComFlowControl {
    bool ControlDTR = true;
    bool ControlRTS = true;
    bool OutCTSFlow = false;
    bool XonXoffIn = false;
    bool XonXoffOut = false;
    bool TxContinueOnXoff = true;

    bool operator==(const TComFlowControl&) const = default;
};

// Identifies one asynchronous write; 0 means none.
using TComWriteHandle = std::uint32_t;

class TComPort {
public:
    virtual ~TComPort() = default;

    // "COM" followed by the port number.
    virtual void SetPort(const std::string& name) = 0;
    virtual const std::string& Port() const = 0;

    // Line settings take effect at once on an open port and at the next open otherwise.
    virtual void SetBaudRate(int baud) = 0;
    virtual int BaudRate() const = 0;
    virtual void SetDataBits(int bits) = 0;
    virtual int DataBits() const = 0;
    virtual void SetParity(TComParity parity) = 0;
    virtual TComParity Parity() const = 0;
    virtual void SetStopBits(int bits) = 0;
    virtual int StopBits() const = 0;
    virtual void SetFlowControl(const TComFlowControl& flow) = 0;
    virtual const TComFlowControl& FlowControl() const = 0;

    virtual bool Connected() const = 0;
    // False with a reason when the port cannot be opened.
    virtual bool Open(std::string& error) = 0;
    virtual void Close() = 0;

    // Modem status: whether the peer asserts CTS.
    virtual bool CtsAsserted() = 0;

    // Reads up to count received bytes; returns how many were read.
    virtual int Read(std::uint8_t* buffer, int count) = 0;

    // Starts writing one frame; returns its handle, or 0 with a reason when it could not start.
    virtual TComWriteHandle WriteAsync(const std::uint8_t* data, std::size_t length, std::string& error) = 0;
    // Blocks until the write of that handle has left the port (bounded by the implementation).
    virtual void WaitForAsync(TComWriteHandle handle) = 0;
    virtual void ReleaseAsync(TComWriteHandle handle) = 0;

    // Received characters are waiting; count is how many. Runs on the main loop.
    std::function<void(int count)> OnRxChar;
};

} // namespace dravon
