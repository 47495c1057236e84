// The Win32 seams against the real system (under Wine on Debian): Winsock over loopback
// with the order of its events, the registry store, and the loop's timers and posts.
#include "win/WinEventLoop.h"
#include "win/WinRegistryStore.h"
#include "win/WinSockets.h"

#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

class WinSeams : public ::testing::Test {
protected:
    // Runs the loop until done() holds, at most limitMs (waiting for events, not sleeping).
    template <typename F> bool SpinUntil(F done, DWORD limitMs = 5000) {
        const ULONGLONG end = GetTickCount64() + limitMs;
        while (!done()) {
            if (GetTickCount64() > end) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            Loop.ProcessPendingEvents();
        }
        return true;
    }

    // A plain blocking listener on 127.0.0.1 and an ephemeral port.
    SOCKET Listen(int& port) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(s, 1), 0);
        int length = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        return s;
    }

    // A client socket whose events are recorded in Events, opened towards address:port.
    void Open(TClientSocket& socket, const std::string& address, int port) {
        socket.OnConnect = [this] { Events.push_back("connect"); };
        socket.OnDisconnect = [this] { Events.push_back("disconnect"); };
        socket.OnRead = [this] { Events.push_back("read"); };
        socket.OnWrite = [this] { Events.push_back("write"); };
        socket.OnError = [this](TSocketErrorKind kind, int& code) {
            Events.push_back("error " + std::to_string(static_cast<int>(kind)));
            code = 0;
        };
        socket.Address = address;
        socket.Port = port;
        socket.Open();
    }

    TWinsock Winsock;
    TWinEventLoop Loop;
    std::vector<std::string> Events;
};

TEST_F(WinSeams, TcpRoundTripDeliversEventsFromTheLoopInOrder) {
    int port = 0;
    SOCKET listener = Listen(port);
    TWinClientSocket client(Loop);
    Open(client, "127.0.0.1", port);
    client.SetNoDelay(true);
    EXPECT_TRUE(Events.empty()) << "an event inside Open";
    ASSERT_TRUE(SpinUntil([&] { return Events.size() >= 2; }));
    EXPECT_EQ(Events, (std::vector<std::string>{"connect", "write"}));
    EXPECT_TRUE(client.Active());
    SOCKET peer = accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);

    const std::uint8_t request[] = {0x05, 0x30, 0x31};
    EXPECT_EQ(client.SendBuf(request, 3), 3);
    char got[8] = {};
    EXPECT_EQ(recv(peer, got, sizeof got, 0), 3);
    EXPECT_EQ(std::string(got, 3), "\x05"
                                   "01");
    send(peer, "\x06xyz", 4, 0);
    Events.clear();
    ASSERT_TRUE(SpinUntil([&] { return !Events.empty(); }));
    EXPECT_EQ(Events, std::vector<std::string>{"read"});
    std::uint8_t answer[16] = {};
    EXPECT_EQ(client.ReceiveBuf(answer, sizeof answer), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 4), "\x06xyz");

    // The peer closes: the driver hears it from the loop, and the socket is no longer active.
    Events.clear();
    closesocket(peer);
    ASSERT_TRUE(SpinUntil([&] { return !Events.empty() && Events.back() == "disconnect"; }));
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.SendBuf(request, 3), -1);
    closesocket(listener);
}

TEST_F(WinSeams, FailedConnectsAreConnectErrorsFromTheLoop) {
    int port = 0;
    SOCKET listener = Listen(port);
    closesocket(listener); // nobody listens there now
    for (const std::string address : {"127.0.0.1", "not-an-address"}) {
        SCOPED_TRACE(address);
        Events.clear();
        TWinClientSocket client(Loop);
        Open(client, address, port);
        EXPECT_TRUE(Events.empty()) << "an event inside Open";
        ASSERT_TRUE(SpinUntil([&] { return !Events.empty(); }));
        EXPECT_EQ(Events, std::vector<std::string>{"error 3"});
        EXPECT_FALSE(client.Active());
    }
    // A component freed with an error on its way hears nothing.
    Events.clear();
    Open(*std::make_unique<TWinClientSocket>(Loop), "not-an-address", 0);
    Loop.Post([this] { Events.push_back("after"); });
    ASSERT_TRUE(SpinUntil([&] { return !Events.empty(); }));
    EXPECT_EQ(Events, std::vector<std::string>{"after"});
}

TEST_F(WinSeams, UdpDatagramReachesTheBoundComponentWithItsSender) {
    TWinNMUDP receiver(Loop);
    receiver.SetLocalPort(0);
    ASSERT_NE(receiver.LocalPort(), 0);
    std::vector<std::uint8_t> got;
    std::string from;
    receiver.OnDataReceived = [&](int count, const std::string& sender) {
        got.resize(static_cast<std::size_t>(count));
        EXPECT_EQ(receiver.ReadBuffer(got.data(), count), count);
        from = sender;
    };
    TWinNMUDP sender(Loop);
    bool invalid = false;
    sender.OnInvalidHost = [&](bool&) { invalid = true; };
    sender.RemoteHost = "127.0.0.1";
    sender.RemotePort = receiver.LocalPort();
    const std::uint8_t datagram[] = {0x10, 0x00, 0x20, 0xFF};
    sender.SendBuffer(datagram, 4);
    ASSERT_TRUE(SpinUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, std::vector<std::uint8_t>(datagram, datagram + 4));
    EXPECT_EQ(from, "127.0.0.1");

    sender.RemoteHost = "plc.invalid";
    sender.SendBuffer(datagram, 4);
    EXPECT_FALSE(invalid) << "reported inside SendBuffer";
    ASSERT_TRUE(SpinUntil([&] { return invalid; }));
}

TEST_F(WinSeams, TimersFireOnTheLoopAndPostsRunInOrder) {
    TWinTimerFactory factory(Loop);
    auto timer = factory.CreateTimer();
    int fired = 0;
    timer->OnTimer = [&] {
        if (++fired == 3) timer->SetEnabled(false);
    };
    timer->SetInterval(15);
    timer->SetEnabled(true);
    EXPECT_TRUE(timer->Enabled());
    std::string order;
    for (char c : std::string("abc")) Loop.Post([&order, c] { order += c; });
    ASSERT_TRUE(SpinUntil([&] { return fired == 3 && order.size() == 3; }));
    EXPECT_EQ(order, "abc");
    EXPECT_FALSE(timer->Enabled());
    // Stopped in its own handler: no fourth expiry.
    Loop.Post([] {});
    SpinUntil([] { return false; }, 100);
    EXPECT_EQ(fired, 3);
}

TEST(WinRegistryStore, KeysAndValuesRoundTripThroughTheRegistry) {
    TWinRegistryStore store;
    const std::string path = "SOFTWARE\\Norvane\\DravonSeamTest";
    store.DeleteKey(TRootKey::CurrentUser, path);
    EXPECT_FALSE(store.KeyExists(TRootKey::CurrentUser, path));
    EXPECT_EQ(store.OpenKeyReadOnly(TRootKey::CurrentUser, path), nullptr);
    {
        auto key = store.OpenKey(TRootKey::CurrentUser, path + "\\Settings");
        ASSERT_NE(key, nullptr);
        EXPECT_TRUE(key->WriteDword("edWaitTime", 0xFFFFFFFFu) &&
                    key->WriteString("PLCName0", "Pump \xC3\xA4 1") && // UTF-8 through UTF-16
                    key->WriteString("Empty", ""));
    }
    auto key = store.OpenKeyReadOnly(TRootKey::CurrentUser, path + "\\Settings");
    ASSERT_NE(key, nullptr);
    // Each value as written, of its kind; the other kind and a missing name read as nothing.
    EXPECT_EQ(std::tuple(key->ReadDword("edWaitTime"), key->ReadString("PLCName0"), key->ReadString("Empty"),
                         key->KindOf("edWaitTime"), key->KindOf("PLCName0"), key->ReadString("edWaitTime"),
                         key->ReadDword("Missing"), key->ValueNames().size()),
              std::tuple(std::optional(0xFFFFFFFFu), std::optional<std::string>("Pump \xC3\xA4 1"),
                         std::optional<std::string>(""), TValueKind::Dword, TValueKind::String,
                         std::optional<std::string>(), std::optional<std::uint32_t>(), std::size_t{3}));
    EXPECT_FALSE(key->WriteDword("edWaitTime", 1)) << "written through a read-only key";
    EXPECT_EQ(store.OpenKeyReadOnly(TRootKey::CurrentUser, path)->SubKeyNames(),
              std::vector<std::string>{"Settings"});
    key.reset();
    EXPECT_TRUE(store.DeleteKey(TRootKey::CurrentUser, path));
    EXPECT_FALSE(store.KeyExists(TRootKey::CurrentUser, path) ||
                 store.DeleteKey(TRootKey::CurrentUser, path) || store.DeleteKey(TRootKey::CurrentUser, ""));
}

} // namespace
} // namespace dravon
