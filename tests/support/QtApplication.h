// A QCoreApplication for a test suite: created in SetUpTestSuite, destroyed in
// TearDownTestSuite (Qt must not be torn down by static destructors after main); and the
// bounded spin of its loop the Qt tests wait with.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

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

class TQtApplication {
public:
    static void Create() {
        static int argc = 1;
        static char name[] = "dravon-test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) Instance() = std::make_unique<QCoreApplication>(argc, argv);
    }
    static void Destroy() { Instance().reset(); }

private:
    static std::unique_ptr<QCoreApplication>& Instance() {
        static std::unique_ptr<QCoreApplication> application;
        return application;
    }
};

} // namespace dravon::test
