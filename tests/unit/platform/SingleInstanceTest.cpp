#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QUuid>

#include "support/QtApplication.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace dravon {
namespace {

using test::SpinUntil;

class SingleInstanceTest : public test::TQtSuite<> {
protected:
    // A scope of its own, so parallel test runs never meet.
    std::string Scope = QUuid::createUuid().toString(QUuid::Id128).left(16).toStdString();
};

// Garbage from a client does not disturb the first: the second start still hands over its
// command line and show request.
TEST_F(SingleInstanceTest, SecondHandsItsCommandLineAndShowRequestToTheFirst) {
    TSingleInstance first(Scope);
    ASSERT_TRUE(first.Acquire());
    std::vector<std::string> commandLines;
    int shows = 0;
    first.OnCommandLine = [&](const std::string& text) { commandLines.push_back(text); };
    first.OnShowRequest = [&] { ++shows; };
    {
        QLocalSocket bad;
        bad.connectToServer(first.ServerName());
        ASSERT_TRUE(bad.waitForConnected(3000));
        bad.write(QByteArray("\x00\x00\x04\x05\xFF\xFF\xFF\xFF garbage", 17));
        bad.flush();
        // The server drops a connection that sends garbage.
        ASSERT_TRUE(SpinUntil([&] { return bad.state() == QLocalSocket::UnconnectedState; }, 5000));
    }

    TSingleInstance second(Scope);
    EXPECT_FALSE(second.Acquire());
    // The second start blocks on its socket; the first must keep its loop running meanwhile.
    const std::string longArgument = "/" + std::string(450, 'p');
    std::atomic<int> handedOver{-1};
    std::thread secondStart([&] {
        handedOver = second.HandOver({"/show", longArgument}, 8000) == THandOver::Done;
    });
    const bool done = SpinUntil([&] { return shows == 1 && handedOver != -1; }, 10000);
    secondStart.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(handedOver, 1);
    EXPECT_EQ(commandLines, std::vector<std::string>{"/show\t" + longArgument});

    // At most eight clients at once: a ninth is dropped, the eight stay.
    TSingleInstance busy(Scope + "b");
    ASSERT_TRUE(busy.Acquire());
    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 9; ++i) {
        idle.push_back(std::make_unique<QLocalSocket>());
        idle.back()->connectToServer(busy.ServerName());
        ASSERT_TRUE(idle.back()->waitForConnected(3000));
    }
    ASSERT_TRUE(SpinUntil([&] { return idle[8]->state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(idle[7]->state(), QLocalSocket::ConnectedState);
}

TEST_F(SingleInstanceTest, ASilentHolderOfTheLockIsNeverJoinedBySecondServerAndItsEndFreesTheLock) {
    {
        // The first holds the lock and listens, but its loop never runs (a stopped server).
        TSingleInstance first(Scope);
        ASSERT_TRUE(first.Acquire());
        TSingleInstance second(Scope);
        QDeadlineTimer bound(5000);
        EXPECT_EQ(second.Start({"/show"}, 2, 300), TInstanceStart::NoAnswer);
        EXPECT_FALSE(bound.hasExpired());
    }
    TSingleInstance next(Scope);
    EXPECT_TRUE(next.Acquire());
    // Nobody listens under another scope and nobody holds its lock: that start runs.
    TSingleInstance stranger(Scope + "x");
    EXPECT_EQ(stranger.HandOver({"/show"}, 300), THandOver::NoAnswer);
    EXPECT_EQ(stranger.Start({"/show"}, 2, 300), TInstanceStart::Run);
}

} // namespace
} // namespace dravon
