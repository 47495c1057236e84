// Recording stand-ins for the serial port, the TCP client and the UDP component, and a
// factory that hands them out and keeps a pointer to each for the test to drive. Nothing
// touches the operating system; a test injects received bytes and events by hand.
#pragma once

#include "comm/Transport.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace dravon::test {

using TBytes = std::vector<std::uint8_t>;

// Moves up to most bytes from the front of what arrived into buffer; their count.
template <typename TQueue> int TakeBytes(TQueue& from, std::uint8_t* buffer, int most) {
    const int n = std::min<int>(most, static_cast<int>(from.size()));
    std::copy_n(from.begin(), n, buffer);
    from.erase(from.begin(), from.begin() + n);
    return n;
}

class TRecordingComPort : public TComPort {
public:
    struct TWrite {
        TBytes Bytes;
        int Baud;
        int DataBits;
        TComParity Parity;
        bool Dtr;
    };

    void SetPort(const std::string& name) override { Port_ = name; }
    const std::string& Port() const override { return Port_; }
    void SetBaudRate(int baud) override { Baud_ = baud; }
    int BaudRate() const override { return Baud_; }
    void SetDataBits(int bits) override { DataBits_ = bits; }
    int DataBits() const override { return DataBits_; }
    void SetParity(TComParity parity) override { Parity_ = parity; }
    TComParity Parity() const override { return Parity_; }
    void SetStopBits(int bits) override { StopBits_ = bits; }
    int StopBits() const override { return StopBits_; }
    void SetFlowControl(const TComFlowControl& flow) override { Flow_ = flow; }
    const TComFlowControl& FlowControl() const override { return Flow_; }

    bool Connected() const override { return Open_; }
    bool Open(std::string& error) override {
        ++OpenCalls;
        if (!OpenAllowed) {
            error = "No such file or directory";
            return false;
        }
        Open_ = true;
        return true;
    }
    void Close() override { Open_ = false; }
    bool CtsAsserted() override { return false; }

    int Read(std::uint8_t* buffer, int count) override { return TakeBytes(Incoming, buffer, count); }
    TComWriteHandle WriteAsync(const std::uint8_t* data, std::size_t length, std::string& error) override {
        if (!WriteError.empty()) {
            error = WriteError;
            return 0;
        }
        if (Outstanding != 0) ++OverlappingWrites;
        Writes.push_back({TBytes(data, data + length), Baud_, DataBits_, Parity_, Flow_.ControlDTR});
        Outstanding = ++LastHandle;
        return Outstanding;
    }
    void WaitForAsync(TComWriteHandle handle) override {
        if (handle == Outstanding) Outstanding = 0;
    }
    void ReleaseAsync(TComWriteHandle) override {}

    // Puts bytes in the receive queue and raises OnRxChar with their count.
    void Receive(const TBytes& bytes) {
        Incoming.insert(Incoming.end(), bytes.begin(), bytes.end());
        if (OnRxChar) OnRxChar(static_cast<int>(bytes.size()));
    }

    bool OpenAllowed = true;
    std::string WriteError;
    std::vector<TWrite> Writes;
    std::deque<std::uint8_t> Incoming;
    int OpenCalls = 0;
    int OverlappingWrites = 0;
    TComWriteHandle Outstanding = 0;
    TComWriteHandle LastHandle = 0;

private:
    std::string Port_;
    int Baud_ = 9600;
    int DataBits_ = 8;
    TComParity Parity_ = TComParity::None;
    int StopBits_ = 1;
    TComFlowControl Flow_;
    bool Open_ = false;
};

class TRecordingClientSocket : public TClientSocket {
public:
    ~TRecordingClientSocket() override {
        if (Destroyed) Destroyed(this);
    }
    bool Active() const override { return Active_; }
    void Open() override {
        ++OpenCalls;
        OpenedAddress = Address;
    }
    void SetNoDelay(bool on) override { NoDelay = on; }
    int SendBuf(const std::uint8_t* data, int length) override {
        Sent.emplace_back(data, data + length);
        return length;
    }
    int ReceiveBuf(std::uint8_t* buffer, int maxLength) override {
        return TakeBytes(Incoming, buffer, maxLength);
    }

    // The peer accepted the connection: OnConnect then (writable) OnWrite, as a socket reports it.
    void Connect(bool writable = true) {
        Active_ = true;
        if (OnConnect) OnConnect();
        if (writable && OnWrite) OnWrite();
    }
    // Returns the error code as the handler left it.
    int Fail(TSocketErrorKind kind, int code = 10061) {
        if (kind == TSocketErrorKind::Connect || kind == TSocketErrorKind::Disconnect) Active_ = false;
        if (OnError) OnError(kind, code);
        return code;
    }
    void Drop() {
        Active_ = false;
        if (OnDisconnect) OnDisconnect();
    }
    void Receive(const TBytes& bytes) {
        Incoming.insert(Incoming.end(), bytes.begin(), bytes.end());
        if (OnRead) OnRead();
    }

    std::function<void(TRecordingClientSocket*)> Destroyed;
    bool NoDelay = false;
    int OpenCalls = 0;
    std::string OpenedAddress;
    std::vector<TBytes> Sent;
    std::deque<std::uint8_t> Incoming;

private:
    bool Active_ = false;
};

class TRecordingUdp : public TNMUDP {
public:
    struct TDatagram {
        TBytes Bytes;
        std::string Host;
        int Port;
    };

    void SetLocalPort(int port) override { LocalPort_ = port; }
    int LocalPort() const override { return LocalPort_; }
    void SendBuffer(const std::uint8_t* data, int length) override {
        Sent.push_back({TBytes(data, data + length), RemoteHost, RemotePort});
    }
    int ReadBuffer(std::uint8_t* buffer, int maxLength) override {
        int n = std::min<int>(maxLength, static_cast<int>(Pending.size()));
        std::copy_n(Pending.begin(), n, buffer);
        Pending.clear();
        return n;
    }

    void Receive(const TBytes& bytes, const std::string& from) {
        Pending = bytes;
        if (OnDataReceived) OnDataReceived(static_cast<int>(bytes.size()), from);
    }
    bool RaiseInvalidHost() {
        bool handled = false;
        if (OnInvalidHost) OnInvalidHost(handled);
        return handled;
    }

    std::vector<TDatagram> Sent;
    TBytes Pending;

private:
    int LocalPort_ = 0;
};

// Hands out recording components; the pointers stay valid while their owner keeps them.
class TFakeTransportFactory : public ITransportFactory {
public:
    std::unique_ptr<TComPort> CreateComPort() override {
        auto port = std::make_unique<TRecordingComPort>();
        ComPorts.push_back(port.get());
        return port;
    }
    std::unique_ptr<TClientSocket> CreateClientSocket() override {
        auto socket = std::make_unique<TRecordingClientSocket>();
        Sockets.push_back(socket.get());
        socket->Destroyed = [this](TRecordingClientSocket* gone) { std::erase(Live_, gone); };
        Live_.push_back(socket.get());
        return socket;
    }
    // The newest socket its driver still owns (a driver frees a silent link's socket).
    TRecordingClientSocket* LiveSocket() const { return Live_.empty() ? nullptr : Live_.back(); }
    std::unique_ptr<TNMUDP> CreateUdp() override {
        auto udp = std::make_unique<TRecordingUdp>();
        Udps.push_back(udp.get());
        return udp;
    }

    std::vector<TRecordingComPort*> ComPorts;
    std::vector<TRecordingClientSocket*> Sockets;
    std::vector<TRecordingUdp*> Udps;

private:
    std::vector<TRecordingClientSocket*> Live_;
};

} // namespace dravon::test
