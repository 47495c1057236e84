#include "platform/SignalNotifier.h"

#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace dravon {

namespace {
sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
} // namespace

void TSignalNotifier::BlockTerminationSignals() {
    sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalNotifier::TSignalNotifier() {
    BlockTerminationSignals();
    sigset_t set = TerminationSignals();
    Fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool TSignalNotifier::StopRequested() {
    signalfd_siginfo info{};
    while (Received_ == 0 && Fd_ >= 0 && ::read(Fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        Received_ = static_cast<int>(info.ssi_signo);
    return Received_ != 0;
}

void TSignalNotifier::Watch() {
    if (Fd_ < 0 || Notifier_) return;
    Notifier_ = std::make_unique<QSocketNotifier>(Fd_, QSocketNotifier::Read);
    QObject::connect(Notifier_.get(), &QSocketNotifier::activated, [this] {
        signalfd_siginfo info{};
        while (::read(Fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            Received_ = static_cast<int>(info.ssi_signo);
            if (OnSignal) OnSignal(Received_);
        }
    });
    if (Received_ != 0)
        QTimer::singleShot(0, Notifier_.get(), [this] {
            if (OnSignal) OnSignal(Received_);
        });
}

TSignalNotifier::~TSignalNotifier() {
    Notifier_.reset();
    if (Fd_ >= 0) ::close(Fd_);
}

} // namespace dravon
