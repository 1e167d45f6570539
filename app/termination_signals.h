#pragma once
// SIGHUP, SIGINT and SIGTERM close the program the way the window's close
// button does: the devices drain and a recording is finished properly. A
// signal that was ignored when the program started (under nohup, or from a
// script that ignores SIGINT) stays ignored. A signal handler may
// do almost nothing, so it only writes the signal's number into a pipe; the
// user-interface loop reads it and acts there.

#include <functional>
#include <memory>

namespace squeakbox {

class termination_signals {
  public:
    // From now on SIGHUP, SIGINT and SIGTERM, those not ignored, call
    // `on_signal` with the signal's number on the thread that runs the Qt
    // event loop. One instance at a time.
    explicit termination_signals(std::function<void(int signal)> on_signal);
    // Puts back the handlers found.
    ~termination_signals();
    termination_signals(const termination_signals&) = delete;
    termination_signals& operator=(const termination_signals&) = delete;

    // False when the pipe or the handlers could not be set up (the program
    // then stops on the signals as any program does).
    [[nodiscard]] bool active() const noexcept;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace squeakbox
