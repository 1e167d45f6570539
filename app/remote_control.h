#pragma once
// One Squeakbox at a time, and commands to it from outside: a service on the
// desktop's session bus. The running program owns the name below and answers
// on one object; `squeakbox --pitch-up` and its siblings, started while it
// runs, are clients that send their command and end. A second plain start
// brings the running window to the front instead of opening a second stream.
//
//   service and interface  org.squeakbox.Squeakbox
//   object                 /org/squeakbox/Squeakbox
//   properties  Pitch (i, read/write), LatencyMode (s "normal" | "low",
//               read/write), Running (b), Recording (b), Bypass (b, read/write)
//   methods     SetPitch(i), PitchUp(), PitchDown(), Start(), Stop(),
//               ToggleRecording(), SetBypass(b), ToggleBypass(), Raise()
//   signals     PitchChanged(i), LatencyModeChanged(s), RunningChanged(b),
//               RecordingChanged(b), BypassChanged(b), and the standard
//               org.freedesktop.DBus.Properties.PropertiesChanged
//
// Without a session bus all of this is simply absent: the program runs as
// it always has, and only the commands to a running one are refused.

#include <memory>
#include <optional>
#include <string>

namespace squeakbox {

class main_window;

inline constexpr const char* remote_service_name = "org.squeakbox.Squeakbox";
inline constexpr const char* remote_object_path = "/org/squeakbox/Squeakbox";
inline constexpr const char* remote_interface_name = "org.squeakbox.Squeakbox";

// The running program's side. Needs the application object to exist.
class remote_host {
  public:
    enum class claim { owned, taken, no_bus };

    remote_host();
    ~remote_host();
    remote_host(const remote_host&) = delete;
    remote_host& operator=(const remote_host&) = delete;

    // Takes the name, unless another Squeakbox has it (first come, first
    // served: two starts at once cannot both win).
    [[nodiscard]] claim take_name();
    // The window that the calls reach; before it exists they do nothing.
    void attach(main_window* window);
    // Tells the bus what changed since the last call.
    void publish();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// What a client asks of the running program, in this order.
struct remote_request {
    std::optional<int> pitch;       // --pitch N
    int pitch_steps = 0;            // --pitch-up (+1 each) and --pitch-down (-1)
    std::optional<bool> bypass;     // --bypass on|off
    bool toggle_bypass = false;     // --bypass toggle
    bool toggle_recording = false;  // --record-toggle
    bool raise = false;             // a second plain start

    [[nodiscard]] bool empty() const noexcept {
        return !pitch && pitch_steps == 0 && !bypass && !toggle_bypass && !toggle_recording &&
               !raise;
    }
};

enum class remote_result { sent, none_running, failed };
// Sends the request to the Squeakbox that runs. `problem` says why it failed.
[[nodiscard]] remote_result send_to_running(const remote_request& request, std::string& problem);

}  // namespace squeakbox
