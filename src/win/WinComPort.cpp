#include "win/WinComPort.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "comm/SerialDevicePath.h"
#include "win/WinText.h"

namespace dravon {

TWinComPort::TOverlapped::TOverlapped() { Ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

TWinComPort::TOverlapped::~TOverlapped() {
    if (Ov.hEvent) CloseHandle(Ov.hEvent);
}

TWinComPort::TWinComPort(TServerContext& context, TWinEventLoop& loop) : Context_(context), Loop_(loop) {}

TWinComPort::~TWinComPort() { Close(); }

void TWinComPort::Log(const std::string& line) {
    if (Context_.Debug) Context_.Debug->WriteLine(0, line, true);
}

void TWinComPort::SetBaudRate(int baud) {
    Baud_ = baud;
    if (Connected()) Apply();
}
void TWinComPort::SetDataBits(int bits) {
    DataBits_ = bits;
    if (Connected()) Apply();
}
void TWinComPort::SetParity(TComParity parity) {
    Parity_ = parity;
    if (Connected()) Apply();
}
void TWinComPort::SetStopBits(int bits) {
    StopBits_ = bits;
    if (Connected()) Apply();
}
void TWinComPort::SetFlowControl(const TComFlowControl& flow) {
    Flow_ = flow;
    if (Connected()) Apply();
}

void TWinComPort::Apply() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Handle_, &dcb)) {
        Log(Port_ + " (" + Device_ + "): line settings cannot be read: " + SystemErrorText(GetLastError()));
        return;
    }
    dcb.fBinary = TRUE;
    dcb.BaudRate = static_cast<DWORD>(Baud_);
    dcb.ByteSize = static_cast<BYTE>(DataBits_ == 7 ? 7 : 8);
    dcb.fParity = Parity_ == TComParity::Even ? TRUE : FALSE;
    dcb.Parity = Parity_ == TComParity::Even ? EVENPARITY : NOPARITY;
    dcb.StopBits = StopBits_ == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = Flow_.OutCTSFlow ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = Flow_.ControlDTR ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    // RTS is driven by the port only while hardware flow control does not own it.
    dcb.fRtsControl = Flow_.OutCTSFlow ? RTS_CONTROL_HANDSHAKE
                                       : (Flow_.ControlRTS ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    dcb.fOutX = Flow_.XonXoffOut ? TRUE : FALSE;
    dcb.fInX = Flow_.XonXoffIn ? TRUE : FALSE;
    dcb.fTXContinueOnXoff = Flow_.TxContinueOnXoff ? TRUE : FALSE;
    if (SetCommState(Handle_, &dcb)) return;
    const DWORD error = GetLastError();
    // A device without a UART behind it (a pseudo-terminal under Wine) refuses 7 data bits
    // and parity, and the system then takes none of the settings: keep the speed and the
    // lines with 8 data bits and no parity, then without flow control; the bytes still pass.
    std::string kept = "7 data bits and parity";
    dcb.ByteSize = 8;
    dcb.fParity = FALSE;
    dcb.Parity = NOPARITY;
    bool applied = SetCommState(Handle_, &dcb) != 0;
    if (!applied) {
        kept += ", flow control";
        dcb.fOutxCtsFlow = FALSE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        applied = SetCommState(Handle_, &dcb) != 0;
    }
    if (RefusalNoted_) return;
    RefusalNoted_ = true;
    Log(Port_ + " (" + Device_ + "): " +
        (applied ? kept + " refused, ignored: " : "line settings refused: ") + SystemErrorText(error));
}

bool TWinComPort::Open(std::string& error) {
    if (Connected()) return true;
    Device_ = SerialDevicePath(Context_.Store, Port_);
    if (Device_.empty()) {
        error = "unknown port " + Port_;
        return false;
    }
    Handle_ = CreateFileW(Widen(Device_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (Handle_ == INVALID_HANDLE_VALUE) {
        error = Device_ + ": " + SystemErrorText(GetLastError());
        return false;
    }
    SetupComm(Handle_, 4096, 4096);
    // Reads return at once with what has arrived; writes are never cut short by a time-out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(Handle_, &timeouts);
    PurgeComm(Handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    Apply();
    SetCommMask(Handle_, EV_RXCHAR);
    Wait_ = std::make_unique<TOverlapped>();
    Write_ = std::make_unique<TOverlapped>();
    Loop_.AddHandle(Wait_->Ov.hEvent, [this] { CommEvent(); });
    ArmWait();
    return true;
}

void TWinComPort::ArmWait() {
    ResetEvent(Wait_->Ov.hEvent);
    WaitMask_ = 0;
    if (WaitCommEvent(Handle_, &WaitMask_, &Wait_->Ov)) {
        // Done at once: the event is set, the loop runs CommEvent.
        Wait_->Pending = false;
        SetEvent(Wait_->Ov.hEvent);
        return;
    }
    const DWORD error = GetLastError();
    Wait_->Pending = error == ERROR_IO_PENDING;
    if (!Wait_->Pending)
        Log(Port_ + " (" + Device_ + "): waiting for received characters failed: " + SystemErrorText(error));
}

void TWinComPort::CommEvent() {
    DWORD ignored = 0;
    if (Wait_->Pending) GetOverlappedResult(Handle_, &Wait_->Ov, &ignored, FALSE);
    Wait_->Pending = false;
    DWORD errors = 0;
    COMSTAT status{};
    const int count = ClearCommError(Handle_, &errors, &status) ? static_cast<int>(status.cbInQue) : 0;
    ArmWait();
    // Last: the driver may close the port in its handler.
    if (count > 0 && OnRxChar) OnRxChar(count);
}

void TWinComPort::Close() {
    if (!Connected()) return;
    FinishWrite(WriteWaitLimitMs);
    Loop_.RemoveHandle(Wait_->Ov.hEvent);
    // The system must be done with the wait before its OVERLAPPED goes.
    SetCommMask(Handle_, 0);
    CancelIo(Handle_);
    DWORD ignored = 0;
    if (Wait_->Pending) GetOverlappedResult(Handle_, &Wait_->Ov, &ignored, TRUE);
    CloseHandle(Handle_);
    Handle_ = INVALID_HANDLE_VALUE;
    Wait_.reset();
    Write_.reset();
    LastHandle_ = 0;
}

bool TWinComPort::CtsAsserted() {
    if (!Connected()) return false;
    DWORD status = 0;
    if (!GetCommModemStatus(Handle_, &status)) return false;
    return (status & MS_CTS_ON) != 0;
}

int TWinComPort::Read(std::uint8_t* buffer, int count) {
    if (count <= 0 || !Connected()) return 0;
    TOverlapped read;
    DWORD got = 0;
    if (!ReadFile(Handle_, buffer, static_cast<DWORD>(count), &got, &read.Ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        // The time-outs make the read return at once; the wait only collects the count.
        if (!GetOverlappedResult(Handle_, &read.Ov, &got, TRUE)) return 0;
    }
    return static_cast<int>(got);
}

void TWinComPort::FinishWrite(DWORD waitMs) {
    if (!Write_ || !Write_->Pending) return;
    if (WaitForSingleObject(Write_->Ov.hEvent, waitMs) != WAIT_OBJECT_0) {
        // Stuck (flow control held by the peer): give the frame up.
        CancelIo(Handle_);
        Log(Port_ + " (" + Device_ + "): write did not finish within " + std::to_string(waitMs) +
            " ms, cancelled");
    }
    DWORD written = 0;
    GetOverlappedResult(Handle_, &Write_->Ov, &written, TRUE);
    Write_->Pending = false;
}

TComWriteHandle TWinComPort::WriteAsync(const std::uint8_t* data, std::size_t length, std::string& error) {
    if (!Connected()) {
        error = "port not open";
        return 0;
    }
    // One write at a time: its buffer and OVERLAPPED belong to the system until it is done.
    FinishWrite(WriteWaitLimitMs);
    WriteData_.assign(data, data + length);
    ResetEvent(Write_->Ov.hEvent);
    Write_->Ov.Offset = 0;
    Write_->Ov.OffsetHigh = 0;
    DWORD written = 0;
    if (!WriteFile(Handle_, WriteData_.data(), static_cast<DWORD>(WriteData_.size()), &written,
                   &Write_->Ov)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) {
            error = SystemErrorText(code);
            return 0;
        }
        Write_->Pending = true;
    }
    LastHandle_ = LastHandle_ + 1 == 0 ? 1 : LastHandle_ + 1;
    return LastHandle_;
}

void TWinComPort::WaitForAsync(TComWriteHandle handle) {
    if (handle == 0 || handle != LastHandle_ || !Connected()) return;
    FinishWrite(WriteWaitLimitMs);
}

void TWinComPort::ReleaseAsync(TComWriteHandle) {}

} // namespace dravon
