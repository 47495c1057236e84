// The Winsock implementations of the core's TCP client, UDP component and host lookup,
// with the Windows Sockets 1.1 event model: WSAAsyncSelect and WSAAsyncGetHostByName post
// their notifications to the loop's window, so every event reaches the driver from the
// loop, never inside a call the driver makes, and none after the component is gone.
#pragma once

#include "comm/ClientSocket.h"
#include "comm/NMUDP.h"
#include "plc/HostResolver.h"
#include "win/WinEventLoop.h"

#include <winsock2.h>

#include <map>
#include <memory>
#include <vector>

namespace dravon {

// WSAStartup for the lifetime of the object (version 2.2, which keeps the 1.1 calls).
class TWinsock {
public:
    TWinsock();
    ~TWinsock();
    TWinsock(const TWinsock&) = delete;
    TWinsock& operator=(const TWinsock&) = delete;
    bool Ok() const { return Ok_; }

private:
    bool Ok_ = false;
};

class TWinClientSocket : public TClientSocket {
public:
    explicit TWinClientSocket(TWinEventLoop& loop);
    ~TWinClientSocket() override;
    TWinClientSocket(const TWinClientSocket&) = delete;
    TWinClientSocket& operator=(const TWinClientSocket&) = delete;

    bool Active() const override { return Connected_; }
    void Open() override;
    void SetNoDelay(bool on) override;
    int SendBuf(const std::uint8_t* data, int length) override;
    int ReceiveBuf(std::uint8_t* buffer, int maxLength) override;

private:
    void CloseSocket();
    void SocketMessage(WPARAM socket, LPARAM event);
    // Reports an error that a call of the driver found, later on the loop.
    void PostError(TSocketErrorKind kind, int code);
    void ApplyNoDelay();

    TWinEventLoop& Loop_;
    SOCKET Socket_ = INVALID_SOCKET;
    UINT Message_ = 0;
    bool Connected_ = false;
    bool NoDelay_ = false;
    std::shared_ptr<TWinClientSocket*> Alive_;
};

class TWinNMUDP : public TNMUDP {
public:
    explicit TWinNMUDP(TWinEventLoop& loop);
    ~TWinNMUDP() override;
    TWinNMUDP(const TWinNMUDP&) = delete;
    TWinNMUDP& operator=(const TWinNMUDP&) = delete;

    void SetLocalPort(int port) override;
    int LocalPort() const override;
    void SendBuffer(const std::uint8_t* data, int length) override;
    int ReadBuffer(std::uint8_t* buffer, int maxLength) override;

private:
    void Bind();
    void CloseSocket();
    void SocketMessage(WPARAM socket, LPARAM event);
    void Status(const std::string& text);

    TWinEventLoop& Loop_;
    SOCKET Socket_ = INVALID_SOCKET;
    UINT Message_ = 0;
    int LocalPort_ = 0;
    std::vector<std::uint8_t> Current_;
    std::shared_ptr<TWinNMUDP*> Alive_;
};

class TWinHostResolver : public IHostResolver {
public:
    explicit TWinHostResolver(TWinEventLoop& loop);
    ~TWinHostResolver() override;
    TWinHostResolver(const TWinHostResolver&) = delete;
    TWinHostResolver& operator=(const TWinHostResolver&) = delete;

    void LookupHost(const std::string& name, std::function<void(const std::string& address)> done) override;

private:
    struct TLookup {
        std::unique_ptr<char[]> Buffer;
        std::function<void(const std::string&)> Done;
    };
    void Answer(WPARAM task, LPARAM result);

    TWinEventLoop& Loop_;
    UINT Message_ = 0;
    std::map<HANDLE, TLookup> Pending_;
    std::shared_ptr<TWinHostResolver*> Alive_;
};

} // namespace dravon
