#include "platform/QtComPort.h"

#include "app/Logger.h"
#include "app/ServerContext.h"
#include "comm/SerialDevicePath.h"

#include <QDeadlineTimer>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace dravon {

namespace {

// Unix98 pseudo-terminal slaves use majors 136 to 143.
bool IsPtyDevice(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    unsigned int major = ::major(info.st_rdev);
    return major >= 136 && major <= 143;
}

} // namespace

TQtComPort::TQtComPort(TServerContext& context) : Context_(context), Serial_(new QSerialPort) {
    // Queued: a wait for a write inside Transmit must not run the receive path.
    QObject::connect(
        Serial_.get(), &QSerialPort::readyRead, Serial_.get(),
        [this] {
            auto count = Serial_->bytesAvailable();
            if (count > 0 && OnRxChar) OnRxChar(static_cast<int>(count));
        },
        Qt::QueuedConnection);
}

TQtComPort::~TQtComPort() {
    if (Serial_->isOpen()) Serial_->close();
}

void TQtComPort::Check(bool ok, const char* what) {
    if (ok) return;
    auto error = Serial_->error();
    std::string text = Serial_->errorString().toStdString();
    Serial_->clearError();
    if (PseudoTerminal_ && error == QSerialPort::UnsupportedOperationError) {
        // A pseudo-terminal has no UART and no modem lines; the bytes still pass.
        if (!RefusalNoted_ && Context_.Debug) {
            RefusalNoted_ = true;
            Context_.Debug->WriteLine(
                0, Port_ + " on pseudo-terminal " + Device_ + ": " + what + " not supported, ignored", true);
        }
        return;
    }
    if (Context_.Debug)
        Context_.Debug->WriteLine(0, Port_ + " (" + Device_ + "): " + what + " failed: " + text, true);
}

void TQtComPort::SetBaudRate(int baud) {
    Baud_ = baud;
    if (Serial_->isOpen()) ApplyBaud();
}

void TQtComPort::SetDataBits(int bits) {
    DataBits_ = bits;
    if (Serial_->isOpen()) ApplyFormat();
}

void TQtComPort::SetParity(TComParity parity) {
    Parity_ = parity;
    if (Serial_->isOpen()) ApplyFormat();
}

void TQtComPort::SetStopBits(int bits) {
    StopBits_ = bits;
    if (Serial_->isOpen()) ApplyFormat();
}

void TQtComPort::SetFlowControl(const TComFlowControl& flow) {
    Flow_ = flow;
    if (Serial_->isOpen()) ApplyModemLines();
}

void TQtComPort::ApplyBaud() { Check(Serial_->setBaudRate(Baud_), "baud rate"); }

void TQtComPort::ApplyFormat() {
    auto bits = DataBits_ == 7 ? QSerialPort::Data7 : QSerialPort::Data8;
    if (Serial_->dataBits() != bits) Check(Serial_->setDataBits(bits), "data bits");
    auto parity = Parity_ == TComParity::Even ? QSerialPort::EvenParity : QSerialPort::NoParity;
    if (Serial_->parity() != parity) Check(Serial_->setParity(parity), "parity");
    auto stop = StopBits_ == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop;
    if (Serial_->stopBits() != stop) Check(Serial_->setStopBits(stop), "stop bits");
}

void TQtComPort::ApplyModemLines() {
    auto flow = Flow_.OutCTSFlow ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl;
    if (Serial_->flowControl() != flow) Check(Serial_->setFlowControl(flow), "CTS flow control");
    // RTS is driven by the port only while hardware flow control does not own it.
    if (!Flow_.OutCTSFlow) Check(Serial_->setRequestToSend(Flow_.ControlRTS), "RTS");
    Check(Serial_->setDataTerminalReady(Flow_.ControlDTR), "DTR");
}

void TQtComPort::ApplyAll() {
    ApplyBaud();
    ApplyFormat();
    ApplyModemLines();
}

bool TQtComPort::Connected() const { return Serial_->isOpen(); }

bool TQtComPort::Open(std::string& error) {
    if (Serial_->isOpen()) return true;
    Device_ = SerialDevicePath(Context_.Store, Port_);
    if (Device_.empty()) {
        error = "unknown port " + Port_;
        return false;
    }
    PseudoTerminal_ = IsPtyDevice(Device_);
    Serial_->setPortName(QString::fromStdString(Device_));
    if (!Serial_->open(QIODevice::ReadWrite)) {
        error = Device_ + ": " + Serial_->errorString().toStdString();
        Serial_->clearError();
        return false;
    }
    Serial_->clearError();
    ApplyAll();
    return true;
}

void TQtComPort::Close() {
    if (Serial_->isOpen()) Serial_->close();
    LastHandle_ = 0;
}

bool TQtComPort::CtsAsserted() {
    if (!Serial_->isOpen()) return false;
    auto pins = Serial_->pinoutSignals();
    Check(Serial_->error() == QSerialPort::NoError, "modem status");
    return (pins & QSerialPort::ClearToSendSignal) != 0;
}

int TQtComPort::Read(std::uint8_t* buffer, int count) {
    if (count <= 0 || !Serial_->isOpen()) return 0;
    auto n = Serial_->read(reinterpret_cast<char*>(buffer), count);
    return n < 0 ? 0 : static_cast<int>(n);
}

TComWriteHandle TQtComPort::WriteAsync(const std::uint8_t* data, std::size_t length, std::string& error) {
    if (!Serial_->isOpen()) {
        error = "port not open";
        return 0;
    }
    auto n = Serial_->write(reinterpret_cast<const char*>(data), static_cast<qint64>(length));
    if (n != static_cast<qint64>(length)) {
        error = Serial_->errorString().toStdString();
        Serial_->clearError();
        return 0;
    }
    LastHandle_ = LastHandle_ + 1 == 0 ? 1 : LastHandle_ + 1;
    return LastHandle_;
}

void TQtComPort::WaitForAsync(TComWriteHandle handle) {
    if (handle == 0 || handle != LastHandle_ || !Serial_->isOpen()) return;
    QDeadlineTimer deadline(WriteWaitLimitMs);
    while (Serial_->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!Serial_->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) break;
    }
}

void TQtComPort::ReleaseAsync(TComWriteHandle) {}

} // namespace dravon
