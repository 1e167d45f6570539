#pragma once
// Keeps the sound libraries' probe messages (ALSA looking for cards that are
// not there, JACK looking for a server) off the user's terminal, only while
// the probe runs: the program's own messages, and the libraries' later ones,
// still reach standard error.

namespace squeakbox {

// While one exists, ALSA's library messages go nowhere; its own handler comes
// back when the last one ends.
class quiet_alsa {
  public:
    quiet_alsa();
    ~quiet_alsa();
    quiet_alsa(const quiet_alsa&) = delete;
    quiet_alsa& operator=(const quiet_alsa&) = delete;
};

// While one exists, file descriptor 2 goes to /dev/null as well, for the
// probes that write there directly. Only for short stretches around library
// calls known to chatter: anything the program itself writes to standard
// error meanwhile is lost too.
class quiet_stderr {
  public:
    quiet_stderr();
    ~quiet_stderr();
    quiet_stderr(const quiet_stderr&) = delete;
    quiet_stderr& operator=(const quiet_stderr&) = delete;

  private:
    quiet_alsa alsa_;
};

}  // namespace squeakbox
