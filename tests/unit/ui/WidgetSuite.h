// A QApplication for a suite of widget tests that also run the event loop against real
// sockets, and the bounded spin those tests wait with.
#pragma once

#include <QApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace dravon::test {

inline bool SpinUntil(const std::function<bool()>& condition, int boundMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class TWidgetSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "dravon-widget-test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) App() = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() {
        // Sockets released with deleteLater go before the application object does.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        App().reset();
    }

private:
    static std::unique_ptr<QApplication>& App() {
        static std::unique_ptr<QApplication> app;
        return app;
    }
};

} // namespace dravon::test
