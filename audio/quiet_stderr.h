#pragma once
// Keeps the sound libraries' own messages (ALSA looking for cards that are
// not there or telling of an underrun, JACK looking for a server) off the
// user's terminal, only while a probe runs or a device that tells them is
// open: the program's own messages still reach standard error.

namespace squeakbox {

enum class quiet_scope {
    alsa,        // ALSA's library messages go nowhere; its handler comes back after
    all_stderr,  // file descriptor 2 goes to /dev/null as well
};

// While one exists, the chosen messages are dropped; they come back when the
// last one ends. The whole of standard error only for short stretches around
// library calls known to write there directly: anything the program itself
// writes meanwhile is lost too.
class quiet_stderr {
  public:
    explicit quiet_stderr(quiet_scope scope = quiet_scope::all_stderr);
    ~quiet_stderr();
    quiet_stderr(const quiet_stderr&) = delete;
    quiet_stderr& operator=(const quiet_stderr&) = delete;

  private:
    const bool all_;
};

}  // namespace squeakbox
