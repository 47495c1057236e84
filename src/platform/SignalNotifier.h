// SIGTERM and SIGINT as events of the main loop: the signals are blocked and read from a
// signalfd, so the shut-down runs on the main thread like any other event.
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

    TSignalNotifier();
    ~TSignalNotifier();
    TSignalNotifier(const TSignalNotifier&) = delete;
    TSignalNotifier& operator=(const TSignalNotifier&) = delete;

    bool Valid() const { return Fd_ >= 0; }
    std::function<void(int signalNumber)> OnSignal;

private:
    int Fd_ = -1;
    std::unique_ptr<QSocketNotifier> Notifier_;
};

} // namespace dravon
