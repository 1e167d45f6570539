#include "audio/devices/split_sound_system.h"

#include <sys/epoll.h>
#include <unistd.h>

namespace squeakbox {

split_sound_system::split_sound_system(sound_system& capture_side, sound_system& playback_side)
    : capture_(capture_side), playback_(playback_side) {
    if (&capture_ == &playback_) return;
    const int fds[] = {capture_.event_fd(), playback_.event_fd()};
    if (fds[0] < 0 || fds[1] < 0) return;
    watch_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    for (const int fd : fds) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (watch_fd_ >= 0 && ::epoll_ctl(watch_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(watch_fd_);
            watch_fd_ = -1;
        }
    }
}

split_sound_system::~split_sound_system() {
    if (watch_fd_ >= 0) ::close(watch_fd_);
}

int split_sound_system::event_fd() const {
    return &capture_ == &playback_ ? capture_.event_fd() : watch_fd_;
}

void split_sound_system::dispatch_pending() {
    capture_.dispatch_pending();
    if (&playback_ != &capture_) playback_.dispatch_pending();
}

}  // namespace squeakbox
