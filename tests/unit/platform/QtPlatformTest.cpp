#include "app/TimeDate.h"
#include "platform/AppLocations.h"
#include "platform/GuardedApplication.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "platform/UaTcpListener.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "support/QtApplication.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace dravon {
namespace {

using test::SpinUntil;

// Every test runs under the guarded application the program uses.
using TApp = TGuardedApplication<QCoreApplication>;
class QtPlatformTest : public test::TQtSuite<TApp> {};

TEST_F(QtPlatformTest, ClockGivesTheBiasAndAMillisecondTick) {
    TQtClock clock;
    EXPECT_EQ(clock.TimeZoneBiasMinutes(), -QDateTime::currentDateTime().offsetFromUtc() / 60);
    // The tick is a 32-bit millisecond count: differences, not values, are meaningful.
    const std::uint32_t first = clock.TickCount();
    ASSERT_TRUE(SpinUntil([&] { return TickDiff(clock.TickCount(), first) >= 20; }));
    EXPECT_LT(TickDiff(clock.TickCount(), first), 5000u);
}

// Timers repeat until disabled, posted work runs later in order and dies with its loop; an
// exception from either reaches the hook as thrown, and the timer and the loop go on.
TEST_F(QtPlatformTest, TimersAndPostedWorkRunLaterAndTheirExceptionsReachTheHook) {
    TApp* app = test::TQtApp<TApp>::Create();
    ASSERT_NE(app, nullptr);
    std::vector<std::string> caught;
    app->ExceptionHook = [&] {
        try {
            throw;
        } catch (const std::out_of_range& e) {
            caught.push_back(std::string("index: ") + e.what());
        } catch (const std::exception& e) {
            caught.push_back(e.what());
        }
    };
    TQtTimerFactory factory;
    auto timer = factory.CreateTimer();
    int fired = 0;
    timer->OnTimer = [&] {
        if (++fired == 1) throw std::runtime_error("Invalid value");
    };
    timer->SetInterval(10);
    EXPECT_FALSE(timer->Enabled());
    timer->SetEnabled(true);
    EXPECT_TRUE(timer->Enabled() && timer->Interval() == 10u);
    ASSERT_TRUE(SpinUntil([&] { return fired >= 3; }));
    timer->SetEnabled(false);
    const int stopped = fired;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(fired, stopped);

    TQtEventLoop loop;
    std::vector<int> order;
    loop.Post([&] {
        order.push_back(1);
        loop.Post([&] { order.push_back(3); });
    });
    loop.Post([] { throw std::out_of_range("List index out of bounds (4)"); });
    loop.Post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty()); // nothing runs inside Post
    ASSERT_TRUE(SpinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(caught, (std::vector<std::string>{"Invalid value", "index: List index out of bounds (4)"}));
    loop.Post([&] { order.push_back(4); });
    loop.ProcessPendingEvents();
    EXPECT_EQ(order.back(), 4);
    std::make_unique<TQtEventLoop>()->Post([&] { order.push_back(5); }); // dies with its loop
    QCoreApplication::processEvents();
    EXPECT_EQ(order.back(), 4);
    app->ExceptionHook = nullptr;
}

TEST_F(QtPlatformTest, DravonHomeHoldsEverything) {
    QTemporaryDir dir;
    const QByteArray old = qgetenv("DRAVON_HOME");
    qputenv("DRAVON_HOME", QFile::encodeName(dir.path() + "/home"));
    TAppLocations locations = TAppLocations::FromEnvironment();
    TAppLocations same = TAppLocations::FromEnvironment();
    qputenv("DRAVON_HOME", QFile::encodeName(dir.path() + "/other"));
    TAppLocations other = TAppLocations::FromEnvironment();
    if (old.isNull())
        qunsetenv("DRAVON_HOME");
    else
        qputenv("DRAVON_HOME", old);

    const std::string home = QDir(dir.path() + "/home").absolutePath().toStdString();
    EXPECT_EQ(locations.ApplicationDirectory + " " + locations.MachineStoreFile + " " +
                  locations.UserStoreFile + " " + locations.InstanceDirectory,
              home + "/ " + home + "/machine.store " + home + "/user.store " + home);
    EXPECT_TRUE(QDir(QString::fromStdString(home)).exists());
    EXPECT_TRUE(locations.InstanceScope == same.InstanceScope &&
                locations.InstanceScope != other.InstanceScope);
}

TEST_F(QtPlatformTest, UaListenerGivesTheSystemsReasonAndClosesConnectionsBothWays) {
    TUaTcpListener first;
    ASSERT_TRUE(first.Listen("127.0.0.1", 0));
    TUaTcpListener second;
    EXPECT_FALSE(second.Listen("127.0.0.1", first.Port()));
    EXPECT_EQ(second.ErrorText(), std::strerror(EADDRINUSE));
    EXPECT_FALSE(second.Listen("not an address", 4840));
    EXPECT_EQ(second.ErrorText(), std::strerror(EADDRNOTAVAIL));
    // An address this machine does not have: refused by bind, nothing is sent.
    EXPECT_FALSE(second.Listen("192.0.2.1", 0));
    EXPECT_EQ(second.ErrorText(), std::strerror(EADDRNOTAVAIL));

    // A connection its peer closes reports it once; one the endpoint drops while open
    // is closed towards the peer.
    std::vector<std::unique_ptr<IUaSocket>> accepted;
    int closedByPeer = 0;
    first.OnConnection = [&](std::unique_ptr<IUaSocket> socket) {
        socket->OnDisconnected = [&] { ++closedByPeer; };
        accepted.push_back(std::move(socket));
    };
    QTcpSocket peer, other, third;
    for (QTcpSocket* s : {&peer, &other, &third}) { // one at a time: accepted in this order
        const std::size_t before = accepted.size();
        s->connectToHost("127.0.0.1", first.Port());
        ASSERT_TRUE(SpinUntil([&] { return accepted.size() == before + 1; }));
    }
    peer.disconnectFromHost();
    ASSERT_TRUE(SpinUntil([&] { return closedByPeer == 1; }));
    accepted[1].reset();
    ASSERT_TRUE(SpinUntil([&] { return other.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(closedByPeer, 1);
    // What is written just before a close (an Error message) still reaches the peer.
    accepted[2]->Write("ERRF");
    accepted[2]->Close();
    accepted[2].reset();
    ASSERT_TRUE(SpinUntil([&] { return third.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(third.readAll().toStdString(), "ERRF");
}

TEST_F(QtPlatformTest, TimeTextsFollowTheLocaleFormat) {
    // 2025-12-09 14:03:27 local; the C locale's %X is the 24-hour time.
    const TDateTime value = 46000 + (14 * 3600 + 3 * 60 + 27) / 86400.0;
    EXPECT_EQ(TimeText(value), "14:03:27");
    EXPECT_EQ(TimeDateText(value), "14:03:27  " + DateText(value));
    EXPECT_EQ(TimeDateText(0), TimeText(0));
}

} // namespace
} // namespace dravon
