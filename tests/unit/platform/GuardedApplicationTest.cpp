#include "platform/GuardedApplication.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"

#include <QCoreApplication>

#include "support/QtApplication.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace dravon {
namespace {

using test::SpinUntil;

class GuardedApplicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_platform";
        static char* argv[] = {name, nullptr};
        ASSERT_EQ(QCoreApplication::instance(), nullptr);
        App = std::make_unique<TGuardedApplication<QCoreApplication>>(argc, argv);
    }
    static void TearDownTestSuite() { App.reset(); }

    void SetUp() override {
        App->ExceptionHook = [this] {
            try {
                throw;
            } catch (const std::out_of_range& e) {
                Caught.push_back(std::string("index: ") + e.what());
            } catch (const std::exception& e) {
                Caught.push_back(e.what());
            }
        };
    }
    void TearDown() override { App->ExceptionHook = nullptr; }

    static inline std::unique_ptr<TGuardedApplication<QCoreApplication>> App;
    std::vector<std::string> Caught;
};

// Exceptions from posted work and from a timer reach the hook; the loop and the timer go on.
TEST_F(GuardedApplicationTest, ExceptionsFromPostedWorkAndTimersReachTheHookAndTheLoopGoesOn) {
    TQtEventLoop loop;
    bool after = false;
    loop.Post([] { throw std::out_of_range("List index out of bounds (4)"); });
    loop.Post([&] { after = true; });
    ASSERT_TRUE(SpinUntil([&] { return after; }));
    EXPECT_EQ(Caught, std::vector<std::string>{"index: List index out of bounds (4)"});

    TQtTimerFactory timers;
    auto timer = timers.CreateTimer();
    int fired = 0;
    timer->OnTimer = [&] {
        if (++fired == 1) throw std::runtime_error("Invalid value");
    };
    timer->SetInterval(5);
    timer->SetEnabled(true);
    ASSERT_TRUE(SpinUntil([&] { return fired >= 3; }));
    EXPECT_EQ(Caught, (std::vector<std::string>{"index: List index out of bounds (4)", "Invalid value"}));
}

} // namespace
} // namespace dravon
