#pragma once
// The sound device layer: capture and playback devices with the semantics the
// stream relies on, independent of the backend (PortAudio, audio files, or a
// scripted fake in the tests) and of any user-interface toolkit.
//
// Buffers are lent to a device through headers. A queued header and its
// buffer belong to the device until the device gives it back with a
// notification: "capture buffer filled" for capture, "playback buffer done"
// for playback, one per queued buffer, in queue order per device, delivered
// one at a time by dispatch_pending() on the thread that drives the stream:
// the sound's own thread while it runs, the window's to open and close it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace squeakbox {

// Result of a device call: 0 on success, an error code otherwise.
using mm_result = std::uint32_t;
inline constexpr mm_result mm_ok = 0;
inline constexpr mm_result mm_error = 1;           // unspecified failure
inline constexpr mm_result mm_bad_device_id = 2;   // no such device
inline constexpr mm_result mm_allocated = 4;       // device busy
inline constexpr mm_result mm_invalid_handle = 5;  // device not open / closed
inline constexpr mm_result mm_no_driver = 6;
inline constexpr mm_result mm_no_memory = 7;
inline constexpr mm_result mm_invalid_param = 11;
inline constexpr mm_result mm_bad_format = 32;     // format not supported
inline constexpr mm_result mm_still_playing = 33;  // buffers still queued
inline constexpr mm_result mm_unprepared = 34;     // header not prepared

// The sound format, field for field as a RIFF "fmt " chunk stores it.
struct wave_format {
    std::uint16_t format_tag = 0;  // 1: PCM
    std::uint16_t channels = 0;
    std::uint32_t samples_per_sec = 0;
    std::uint32_t avg_bytes_per_sec = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t cb_size = 0;
    friend bool operator==(const wave_format&, const wave_format&) = default;
};

// 16-bit mono PCM at 44100 Hz: the one format Squeakbox streams.
inline constexpr wave_format stream_format{1, 1, 44100, 88200, 2, 16, 0};

inline constexpr std::uint32_t header_prepared = 0x2;  // flags
inline constexpr std::uint32_t header_in_queue = 0x10;
inline constexpr std::uint32_t header_done = 0x1;

// One buffer lent to a device.
struct wave_header {
    char* data = nullptr;
    std::uint32_t buffer_length = 0;   // bytes
    std::uint32_t bytes_recorded = 0;  // capture: bytes filled
    std::uint32_t flags = 0;
};

struct device_caps {
    std::string name;                  // what the user is shown
    bool supports_44k_mono16 = false;  // 44.1 kHz, mono, 16-bit
    // The sound server's own name for the device ("alsa_input.pci-..."), when
    // it has one apart from the shown name; empty otherwise.
    std::string id;
    // The device that "default" means: the server's default source or sink.
    bool is_default = false;
};

struct device_stats {
    // Capture: blocks captured with no buffer queued (dropped). Playback:
    // blocks dropped at the device so that no more than a few wait for the
    // server (after a stall, the sound would otherwise come that much later
    // for the rest of the run).
    std::uint64_t overruns = 0;
    std::uint64_t underruns = 0;  // playback: blocks played as silence with nothing queued
    // What the sound server reports the sound spends in this device and its
    // stream, in microseconds; 0 when it reports nothing.
    std::uint32_t latency_us = 0;
    // Playback: where the first underruns fell, each as the frames of sound
    // played before the silence (the program's output stream, counted from
    // its first frame), so a gap in what was heard can be laid against them.
    static constexpr std::size_t underrun_places = 4;
    std::array<std::uint64_t, underrun_places> underrun_frames{};
};

// Where a device's notifications go; called only from dispatch_pending(), one
// at a time, on the thread that drives the stream.
class device_events {
  public:
    virtual ~device_events() = default;
    virtual void capture_data(
        wave_header* header) = 0;  // a capture buffer was filled or given back
    virtual void playback_done(
        wave_header* header) = 0;  // a playback buffer was played or given back
    // A capture source reached its end (file devices); live devices never call it.
    virtual void capture_ended() {}
    // A device failed or vanished while open; its queued buffers come back as usual.
    virtual void device_failed(const std::string& /*reason*/) {}
};

// An opened capture device.
class capture_device {
  public:
    virtual ~capture_device() = default;
    virtual mm_result prepare_header(wave_header& header) = 0;
    virtual mm_result unprepare_header(wave_header& header) = 0;
    virtual mm_result add_buffer(wave_header& header) = 0;  // queue for recording
    virtual mm_result start() = 0;
    virtual mm_result reset() = 0;  // every queued buffer comes back at once, in order
    virtual mm_result close() = 0;  // no notification after a successful close
    [[nodiscard]] virtual device_stats stats() const { return {}; }
};

// An opened playback device.
class playback_device {
  public:
    virtual ~playback_device() = default;
    virtual mm_result prepare_header(wave_header& header) = 0;
    virtual mm_result unprepare_header(wave_header& header) = 0;
    virtual mm_result write(wave_header& header) = 0;  // queue behind those already queued
    virtual mm_result reset() = 0;
    virtual mm_result close() = 0;
    [[nodiscard]] virtual device_stats stats() const { return {}; }
};

// A set of devices of one backend. Device numbers count from 0 per direction.
class sound_system {
  public:
    virtual ~sound_system() = default;

    virtual std::uint32_t capture_device_count() = 0;
    virtual mm_result capture_caps(std::uint32_t device, device_caps& caps) = 0;
    virtual std::uint32_t playback_device_count() = 0;
    virtual mm_result playback_caps(std::uint32_t device, device_caps& caps) = 0;

    // 0 when the device accepts the format; nothing is opened.
    virtual mm_result query_capture(std::uint32_t device, const wave_format& format) = 0;
    virtual mm_result query_playback(std::uint32_t device, const wave_format& format) = 0;

    virtual mm_result open_capture(std::uint32_t device, const wave_format& format,
                                   device_events& target,
                                   std::unique_ptr<capture_device>& opened) = 0;
    virtual mm_result open_playback(std::uint32_t device, const wave_format& format,
                                    device_events& target,
                                    std::unique_ptr<playback_device>& opened) = 0;

    // A file descriptor that becomes readable when notifications are pending,
    // for the user-interface loop to watch; -1 when there is none (then call
    // dispatch_pending() after every device call).
    [[nodiscard]] virtual int event_fd() const = 0;

    // Why devices cannot be had here, in one line for the user: why the
    // system itself could not start (no sound server answered, the sound
    // library failed), or why a sound file was refused at its latest query
    // or open. Empty when nothing stands in the way. Failures while a device
    // runs go to device_events::device_failed instead.
    [[nodiscard]] virtual std::string problem() const { return {}; }

    // Delivers the notifications pending now, one at a time, in order per
    // device. Safe to re-enter from a handler (a modal box's nested loop): the
    // inner call continues with the next pending notification.
    virtual void dispatch_pending() = 0;
};

}  // namespace squeakbox
