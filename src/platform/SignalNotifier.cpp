#include "platform/SignalNotifier.h"

#include <QSocketNotifier>

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
    if (Fd_ < 0) return;
    Notifier_ = std::make_unique<QSocketNotifier>(Fd_, QSocketNotifier::Read);
    QObject::connect(Notifier_.get(), &QSocketNotifier::activated, [this] {
        signalfd_siginfo info{};
        while (::read(Fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            if (OnSignal) OnSignal(static_cast<int>(info.ssi_signo));
    });
}

TSignalNotifier::~TSignalNotifier() {
    Notifier_.reset();
    if (Fd_ >= 0) ::close(Fd_);
}

} // namespace dravon
