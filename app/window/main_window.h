#pragma once
// The one window: device lists and "Start!", the pitch buttons and label, the
// level bar, the link and record buttons, the banner. Clicks, the stream's news
// and the program's own posted messages all arrive here, on the one
// user-interface thread, and are handled one at a time. The sound itself runs
// past it, on the stream's own thread where it has one: the window only hears
// of the level to show.

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/window/window_layout.h"
#include "app/window/window_services.h"
#include "audio/audio_stream.h"
#include "options/pitch_range.h"

class QAction;
class QString;
class QActionGroup;
class QMenu;
class QSocketNotifier;
class QWidget;
class QCloseEvent;

namespace squeakbox {

class mic_monitor_mute;
class settings_store;
class window_tray;
struct saved_settings;

// The window's own messages, posted so that they run after the message that
// posted them.
enum class window_message {
    recommend,        // open the recommendation mail
    homepage,         // open the homepage link
    copy_to_desktop,  // copy the program to the desktop
    record_start,
    record_stop,
    apps_page,  // open the apps link
};

struct window_setup {
    int pitch_semitones = default_pitch_semitones;
    std::string input_device;  // select this device by name; empty: the first listed
    std::string output_device;
    bool start_at_once = false;  // start without waiting for "Start!"
    bool record_when_running = false;
    bool close_at_capture_end = false;
    // A run that nobody watches ends when the sound cannot be started,
    // instead of waiting for a close that never comes.
    bool close_on_failed_start = false;
    bool low_latency = false;  // start with the engine's low-latency mode
    bool bypass = false;       // start with the voice unchanged
    // The devices chosen in an earlier run, by the server's name: chosen in
    // the lists again when they are there, without starting at once.
    std::string saved_input_device;
    std::string saved_output_device;
    // The close button hides the window into the tray, where there is one.
    bool close_to_tray = false;
    bool hear_yourself = false;  // start with the Squeakbox microphone heard on the speaker
    bool natural_voice = false;  // start with the natural voice
    int timbre_semitones = 0;
};

// Where the window reaches out: the sound devices (listed, and watched for
// notifications), the pitch engine, the stream it builds, the recording it
// opens and closes and the monitor mute (either may be absent), and the
// desktop actions.
struct window_parts {
    sound_system* devices = nullptr;
    pitch_control* pitch = nullptr;
    stream_factory make_stream;
    recording_control* recorder = nullptr;
    mic_monitor_mute* monitor_mute = nullptr;
    // Where the user's choices are kept for the next run; none: nowhere.
    settings_store* settings = nullptr;
    // Called after the pitch, latency mode, bypass, recording or running
    // state may have changed (the remote tells the desktop).
    std::function<void()> state_changed;
    // Hearing yourself on or off; false when the sound server refused it.
    // Empty: the window has no such entry (no sound server).
    std::function<bool(bool on)> hear_yourself;
    // The delay to show while the sound runs. Empty: none is shown.
    delay_source delay;
    // The moves the sound server's devices made by themselves (a device gone
    // or back, a new default, the server back), newest last, since `seen`,
    // which moves on. Empty: there are none.
    std::function<std::vector<std::string>(std::uint64_t& seen)> route_news;
    // Takes the devices plugged in or gone since into the device lists;
    // true when they changed. Empty: the lists stay as they were made.
    std::function<bool()> refresh_devices;
    window_actions actions;
    // Ends the program's event loop once the window is gone. Empty: quit the
    // application with exit_code().
    std::function<void()> quit;
};

class main_window final : public stream_listener {
  public:
    // Builds the window and its controls, fills the device lists and posts
    // the Start command when the choice is already made. The window is not
    // shown yet.
    main_window(const window_setup& setup, window_parts parts);
    ~main_window() override;
    main_window(const main_window&) = delete;
    main_window& operator=(const main_window&) = delete;

    void show();
    [[nodiscard]] QWidget* widget() const noexcept;
    [[nodiscard]] QWidget* control_widget(control id) const noexcept;

    // Posts one of the window's own messages.
    void post_message(window_message message);
    // Asks the window to close, as its close button does.
    void request_close();

    [[nodiscard]] int pitch_semitones() const noexcept { return pitch_semitones_; }
    [[nodiscard]] bool is_recording() const noexcept { return is_recording_; }
    [[nodiscard]] bool low_latency() const noexcept { return low_latency_; }
    // Switches the engine's low-latency mode, as Ctrl+L and the window's
    // context menu do.
    void set_low_latency(bool on);
    [[nodiscard]] bool bypass() const noexcept { return bypass_; }
    // Commands from outside the window (the remote, the tray), as its own
    // controls give them.
    void set_pitch(int semitones);  // clamped to the engine's range
    void step_pitch(int step) { change_pitch(step); }
    void start();
    void toggle_recording();
    void raise_window();
    // The sound runs and no stop has been asked for.
    [[nodiscard]] bool running() const noexcept;
    // Ends the run as the close button does, also when that only hides the
    // window into the tray.
    void quit();
    void remember_close_to_tray(bool on);
    // The voice unchanged, or through the engine again; as Ctrl+B and the
    // window's context menu do.
    void set_bypass(bool on);
    [[nodiscard]] bool hearing_yourself() const noexcept { return hear_yourself_; }
    // Switches hearing yourself, as the window's context menu does.
    void set_hear_yourself(bool on);
    // The delay the window shows in its tool tip; empty while none is known.
    [[nodiscard]] QString delay_text() const;
    [[nodiscard]] bool natural_voice() const noexcept { return natural_voice_; }
    [[nodiscard]] int timbre_semitones() const noexcept { return timbre_; }
    // As the context menu's "Natürliche Stimme" and its timbre submenu do.
    void set_natural_voice(bool on);
    void set_timbre_semitones(int semitones);
    [[nodiscard]] stream_status stream_state() const noexcept;
    // What the program's exit status should say: 0 while all went well, 1
    // once the sound could not start, a device failed or a recording was
    // lost (refused, or stopped on its own), so that scripts do not take a
    // truncated file for a success.
    [[nodiscard]] int exit_code() const noexcept;
    [[nodiscard]] bool is_destroyed() const noexcept { return destroyed_; }
    // Where the level bar's green part ends, in pixels inside its border.
    [[nodiscard]] int level_split() const;
    [[nodiscard]] stream_control& stream() noexcept { return *stream_; }

    // stream_listener
    void message_box(std::string_view text, std::string_view title) override;
    void post_close() override;
    void start_stop_deadline(std::chrono::milliseconds delay) override;
    void show_level(level_reading level) override;
    void recording_stopped(const std::string& reason) override;
    void capture_ended() override;
    void device_failed(const std::string& reason) override;

  private:
    class window_widget;
    friend class window_widget;

    void create_controls();
    void fill_device_lists();
    void refill_device_lists();
    void watch_routes();
    void show_route(const std::string& line);
    void post(std::function<void()> action);
    void on_command(control source);
    void on_message(window_message message);
    void start_action();
    void update_pitch_display();
    void change_pitch(int step);
    void on_close(QCloseEvent* event);
    void destroy_window();
    void record_start();
    void record_stop();
    void recording_ended();
    void watch_devices();
    void watch_recording();
    void remember(const std::function<void(saved_settings&)>& change);
    void changed() const;
    void watch_delay();

    window_setup setup_;
    window_parts parts_;
    std::unique_ptr<stream_control> stream_;
    window_widget* widget_ = nullptr;  // owned by widget_owner_
    std::unique_ptr<QWidget> widget_owner_;
    std::array<QWidget*, control_count> controls_{};
    int pitch_semitones_ = default_pitch_semitones;
    bool is_recording_ = false;
    bool low_latency_ = false;
    QAction* low_latency_action_ = nullptr;  // owned by the window's widget
    bool bypass_ = false;
    QAction* bypass_action_ = nullptr;  // owned by the window's widget
    bool hear_yourself_ = false;
    QAction* hear_yourself_action_ = nullptr;  // owned by the window's widget
    bool natural_voice_ = false;
    int timbre_ = 0;
    QAction* natural_voice_action_ = nullptr;  // owned by the window's widget
    // A menu of its own, not a child of the window's widget, whose children
    // are exactly its nineteen controls.
    std::unique_ptr<QMenu> timbre_menu_;
    QActionGroup* timbre_actions_ = nullptr;      // owned by timbre_menu_
    QSocketNotifier* device_notifier_ = nullptr;  // owned by the window's widget
    bool building_ = true;  // in the constructor: the start's values are not the user's
    bool started_ = false;
    bool stop_requested_ = false;
    bool quitting_ = false;  // closes even when it would go to the tray
    std::unique_ptr<window_tray> tray_;
    bool destroyed_ = false;
    bool failure_seen_ = false;  // see exit_code()
    int banner_kind_ = 4;
    std::string recording_end_reason_;
    std::uint64_t routes_seen_ = 0;
};

}  // namespace squeakbox
