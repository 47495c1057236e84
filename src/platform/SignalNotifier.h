// SIGTERM and SIGINT as events of the main loop: the signals are blocked and read from a
// signalfd, so the shut-down runs on the main thread like any other event. Made at the
// first moment of the program, it also answers StopRequested() before the loop runs, so
// a long start-up (a large store, a registration) can stop in order.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace dravon {

class TSignalNotifier {
public:
    // Blocks SIGTERM and SIGINT for this thread and every thread started after it: call
    // before the application object starts threads.
    static void BlockTerminationSignals();

    // Blocks the signals and opens the signalfd; needs no application object.
    TSignalNotifier();
    ~TSignalNotifier();
    TSignalNotifier(const TSignalNotifier&) = delete;
    TSignalNotifier& operator=(const TSignalNotifier&) = delete;

    bool Valid() const { return Fd_ >= 0; }
    // True once a signal arrived (it is read here when the loop does not run yet).
    bool StopRequested();
    int ReceivedSignal() const { return Received_; }
    // From now on every signal calls OnSignal on the main loop (also one that arrived
    // before). Needs the application object.
    void Watch();
    std::function<void(int signalNumber)> OnSignal;

private:
    int Fd_ = -1;
    int Received_ = 0;
    std::unique_ptr<QSocketNotifier> Notifier_;
};

} // namespace dravon
