#pragma once
// Keeps the sound libraries' probe messages (ALSA looking for cards that are
// not there, JACK looking for a server) off the user's terminal.

namespace squeakbox {

// While one exists, file descriptor 2 goes to /dev/null; the old standard
// error comes back when the last one ends. Only for short stretches around
// library calls known to chatter: anything the program itself writes to
// standard error meanwhile is lost too.
class quiet_stderr {
  public:
    quiet_stderr();
    ~quiet_stderr();
    quiet_stderr(const quiet_stderr&) = delete;
    quiet_stderr& operator=(const quiet_stderr&) = delete;
};

// Routes ALSA's library messages nowhere, for the rest of the process.
void silence_alsa_messages() noexcept;

}  // namespace squeakbox
