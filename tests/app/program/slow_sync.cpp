// Preloaded into the program to make it look like a slow disk (a busy USB
// stick, a network home folder): every fsync and fdatasync takes 300 ms. When
// SQUEAKBOX_SLOW_SYNC_LOG names a file, each call appends one byte to it, so a
// test can see that the syncs really happened.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace {

void wait_like_a_slow_disk() {
    if (const char* log = std::getenv("SQUEAKBOX_SLOW_SYNC_LOG")) {
        const int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t ignored = ::write(fd, "s", 1);
            ::close(fd);
        }
    }
    timespec left{0, 300'000'000};
    while (::nanosleep(&left, &left) != 0) {
    }
}

template <class Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
    wait_like_a_slow_disk();
    static const auto real = next_definition<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" int fdatasync(int fd) {
    wait_like_a_slow_disk();
    static const auto real = next_definition<int (*)(int)>("fdatasync");
    return real(fd);
}
