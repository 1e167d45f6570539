#include "app/termination_signals.h"

#include <QObject>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace squeakbox {
namespace {

// A hang-up (the terminal went away) ends the program as SIGTERM does.
constexpr int watched_signals[] = {SIGHUP, SIGINT, SIGTERM};

// The handler's end of the pipe; -1 while nobody listens.
volatile std::sig_atomic_t write_end = -1;

extern "C" void note_signal(int signal) {
    const int saved_errno = errno;
    const int fd = write_end;
    if (fd >= 0) {
        const unsigned char number = static_cast<unsigned char>(signal);
        // A full pipe drops the byte: enough of them are already waiting.
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = saved_errno;
}

}  // namespace

struct termination_signals::impl {
    int fds[2] = {-1, -1};
    struct sigaction previous[std::size(watched_signals)] = {};
    bool replaced[std::size(watched_signals)] = {};
    bool installed = false;
    std::unique_ptr<QSocketNotifier> notifier;
    std::function<void(int)> on_signal;
};

termination_signals::termination_signals(std::function<void(int)> on_signal)
    : impl_(std::make_unique<impl>()) {
    impl_->on_signal = std::move(on_signal);
    if (::pipe2(impl_->fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    write_end = impl_->fds[1];

    impl_->notifier = std::make_unique<QSocketNotifier>(impl_->fds[0], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, impl_->notifier.get(),
                     [state = impl_.get()] {
                         unsigned char numbers[16];
                         ssize_t got = 0;
                         while ((got = ::read(state->fds[0], numbers, sizeof numbers)) > 0) {
                             for (ssize_t i = 0; i < got; ++i) {
                                 if (state->on_signal) state->on_signal(numbers[i]);
                             }
                         }
                     });

    struct sigaction action = {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(watched_signals); ++i) {
        // A signal ignored when we started was ignored on purpose: nohup
        // ignores the hang-up, a script may ignore SIGINT for its children.
        // It stays ignored.
        if (::sigaction(watched_signals[i], nullptr, &impl_->previous[i]) != 0) return;
        if ((impl_->previous[i].sa_flags & SA_SIGINFO) == 0 &&
            impl_->previous[i].sa_handler == SIG_IGN) {
            continue;
        }
        if (::sigaction(watched_signals[i], &action, nullptr) != 0) return;
        impl_->replaced[i] = true;
    }
    impl_->installed = true;
}

termination_signals::~termination_signals() {
    for (std::size_t i = 0; i < std::size(watched_signals); ++i) {
        if (impl_->replaced[i]) ::sigaction(watched_signals[i], &impl_->previous[i], nullptr);
    }
    write_end = -1;
    impl_->notifier.reset();
    for (int fd : impl_->fds) {
        if (fd >= 0) ::close(fd);
    }
}

bool termination_signals::active() const noexcept {
    return impl_->installed;
}

}  // namespace squeakbox
