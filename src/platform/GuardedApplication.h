// The application object with the exception hook: an exception thrown by an event
// handler reaches the hook instead of ending the process, and the loop goes on.
#pragma once

#include <QEvent>
#include <QObject>

#include <functional>

namespace dravon {

template <class TApplication> class TGuardedApplication : public TApplication {
public:
    using TApplication::TApplication;

    // Called inside the catch block: the hook may rethrow to classify the exception.
    std::function<void()> ExceptionHook;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return TApplication::notify(receiver, event);
        } catch (...) {
            if (ExceptionHook) ExceptionHook();
            return false;
        }
    }
};

} // namespace dravon
