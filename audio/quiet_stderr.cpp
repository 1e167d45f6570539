#include "audio/quiet_stderr.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace squeakbox {
namespace {

std::mutex quiet_mutex;
int alsa_depth = 0;
int stderr_depth = 0;
int saved_stderr = -1;

void drop_alsa_message(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

quiet_stderr::quiet_stderr(quiet_scope scope) : all_(scope == quiet_scope::all_stderr) {
    std::lock_guard<std::mutex> lock(quiet_mutex);
    if (alsa_depth++ == 0) snd_lib_error_set_handler(&drop_alsa_message);
    if (!all_ || stderr_depth++ > 0) return;
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_stderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (saved_stderr >= 0) ::dup2(null, 2);
    ::close(null);
}

quiet_stderr::~quiet_stderr() {
    std::lock_guard<std::mutex> lock(quiet_mutex);
    if (--alsa_depth == 0) snd_lib_error_set_handler(nullptr);
    if (!all_ || --stderr_depth > 0 || saved_stderr < 0) return;
    std::fflush(stderr);
    ::dup2(saved_stderr, 2);
    ::close(saved_stderr);
    saved_stderr = -1;
}

}  // namespace squeakbox
