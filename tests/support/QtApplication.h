// An application object for a test suite: created in SetUpTestSuite, destroyed in
// TearDownTestSuite (Qt must not be torn down by static destructors after main); and the
// bounded spin of its loop the Qt tests wait with.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace dravon::test {

inline bool SpinUntil(const std::function<bool()>& condition, int boundMs = 5000) {
    QDeadlineTimer deadline(boundMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

template <typename TApp = QCoreApplication> class TQtApp {
public:
    static TApp* Create() {
        static int argc = 1;
        static char name[] = "dravon-test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) Instance() = std::make_unique<TApp>(argc, argv);
        return Instance().get();
    }
    static void Destroy() {
        // Objects released with deleteLater go before the application object does.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Instance().reset();
    }

private:
    static std::unique_ptr<TApp>& Instance() {
        static std::unique_ptr<TApp> application;
        return application;
    }
};
using TQtApplication = TQtApp<>;

// A suite with its own application object of the given kind.
template <typename TApp = QCoreApplication> class TQtSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TQtApp<TApp>::Create(); }
    static void TearDownTestSuite() { TQtApp<TApp>::Destroy(); }
};

} // namespace dravon::test
