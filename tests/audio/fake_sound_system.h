#pragma once
// A scripted sound system for tests. Nothing happens on its own: buffers are
// filled or played only when the test says so, notifications are delivered
// only by dispatch_pending()/dispatch_one(), and any call can be refused (per
// call kind, per device, the n-th call). Every call is recorded in order.
//
// Devices behave as the stream relies on: buffers come back one notification
// each, in queue order per device; reset gives back every queued buffer, each
// with its notification; a successful close drops the notifications not yet
// delivered; close and unprepare fail while the device still holds buffers.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/sound_device.h"

namespace squeakbox::fake {

enum class call_kind : std::uint8_t {
    capture_device_count,
    capture_caps,
    playback_device_count,
    playback_caps,
    query_capture,
    query_playback,
    open_capture,
    open_playback,
    capture_prepare,
    capture_unprepare,
    capture_add,
    capture_start,
    capture_reset,
    capture_close,
    playback_prepare,
    playback_unprepare,
    playback_write,
    playback_reset,
    playback_close,
};

[[nodiscard]] const char* to_string(call_kind kind);

struct call_record {
    call_kind kind{};
    std::uint32_t device = 0;             // the device number the call concerns
    const wave_header* header = nullptr;  // for header calls
    mm_result result = mm_ok;
};

struct device_profile {
    std::string name;
    bool supports_format = true;  // 44.1 kHz mono 16-bit
};

// One block the playback device accepted: which of its headers (by order of
// first preparation) and the samples it held when written.
struct played_block {
    int header_index = -1;
    std::vector<std::int16_t> samples;
};

class fake_sound_system final : public sound_system {
  public:
    static constexpr std::uint32_t any_device = 0xFFFFFFFFu;

    fake_sound_system(std::vector<device_profile> captures, std::vector<device_profile> playbacks);
    ~fake_sound_system() override;
    fake_sound_system(const fake_sound_system&) = delete;
    fake_sound_system& operator=(const fake_sound_system&) = delete;

    // Refuses calls of `kind` with `code`: every such call when `nth` is 0,
    // otherwise only the nth (counting from 1) of those on `device`, or on any
    // device. A refused call has no effect and is recorded with its code.
    void refuse(call_kind kind, mm_result code = mm_error, std::uint32_t nth = 0,
                std::uint32_t device = any_device);
    void clear_refusals();

    // Marks the k oldest buffers queued on the open, started capture device filled and
    // queues their notifications. Buffer after buffer takes its samples from
    // `samples` (zero once they run out); without samples every sample of a
    // buffer holds its fill number (1 for the first buffer ever filled, ...).
    // Returns how many buffers were filled.
    std::size_t fill_capture(std::size_t k, std::span<const std::int16_t> samples = {});
    // Marks the k oldest buffers queued on the open playback device played.
    std::size_t finish_playback(std::size_t k);
    void queue_device_failed(bool capture, std::string reason);
    void queue_capture_ended();

    // Delivers one pending notification, taken off the queue before its
    // handler runs, so a handler may dispatch further (a box's nested loop).
    bool dispatch_one();
    [[nodiscard]] std::size_t pending() const noexcept { return pending_.size(); }

    // What the stream sees of the device layer.
    std::uint32_t capture_device_count() override;
    mm_result capture_caps(std::uint32_t device, device_caps& caps) override;
    std::uint32_t playback_device_count() override;
    mm_result playback_caps(std::uint32_t device, device_caps& caps) override;
    mm_result query_capture(std::uint32_t device, const wave_format& format) override;
    mm_result query_playback(std::uint32_t device, const wave_format& format) override;
    mm_result open_capture(std::uint32_t device, const wave_format& format, device_events& target,
                           std::unique_ptr<capture_device>& opened) override;
    mm_result open_playback(std::uint32_t device, const wave_format& format, device_events& target,
                            std::unique_ptr<playback_device>& opened) override;
    [[nodiscard]] int event_fd() const override { return -1; }
    void dispatch_pending() override;

    // Inspection.
    [[nodiscard]] const std::vector<call_record>& calls() const noexcept { return calls_; }
    [[nodiscard]] std::vector<call_record> calls_of(call_kind kind) const;
    [[nodiscard]] std::size_t count(call_kind kind) const;
    void clear_calls() { calls_.clear(); }
    // Called after every recorded call, to interleave it with other events.
    std::function<void(const call_record&)> on_call;

    [[nodiscard]] bool capture_open() const noexcept;
    [[nodiscard]] bool playback_open() const noexcept;
    // Buffers the open device holds now.
    [[nodiscard]] std::size_t capture_held() const noexcept;
    [[nodiscard]] std::size_t playback_held() const noexcept;
    // The device number of the open device, or any_device.
    [[nodiscard]] std::uint32_t open_capture_number() const noexcept;
    [[nodiscard]] std::uint32_t open_playback_number() const noexcept;
    // The index of a header among those prepared on the open device, by order
    // of first preparation; -1 for one it never saw.
    [[nodiscard]] int capture_header_index(const wave_header* header) const;
    [[nodiscard]] int playback_header_index(const wave_header* header) const;
    [[nodiscard]] const std::vector<played_block>& played() const noexcept { return played_; }
    void set_stats(bool capture, device_stats stats);

    struct device_state;  // one opened device; shared with the device objects

  private:
    struct note {
        enum class what : std::uint8_t { capture_data, playback_done, failed, ended };
        device_state* device = nullptr;
        what kind = what::capture_data;
        wave_header* header = nullptr;
        std::string reason;
    };
    class port;
    friend class port;

    mm_result record(call_kind kind, std::uint32_t device, const wave_header* header,
                     mm_result result);
    mm_result refusal(call_kind kind, std::uint32_t device);
    [[nodiscard]] device_state* open_state(bool capture) const noexcept;
    void drop_notifications(const device_state* state);

    template <template <typename> class Forwarding, typename Device>
    mm_result open(bool capture, std::uint32_t device, const wave_format& format,
                   device_events& target, std::unique_ptr<Device>& opened);
    mm_result prepare(device_state& state, wave_header& header, call_kind kind);
    mm_result unprepare(device_state& state, wave_header& header, call_kind kind);
    mm_result enqueue(device_state& state, wave_header& header, call_kind kind);
    mm_result reset(device_state& state, call_kind kind);
    mm_result close(device_state& state, call_kind kind);
    void destroyed(device_state& state);

    struct rule {
        call_kind kind;
        mm_result code;
        std::uint32_t nth;
        std::uint32_t device;
    };

    std::vector<device_profile> capture_profiles_;
    std::vector<device_profile> playback_profiles_;
    std::vector<rule> rules_;
    std::map<std::pair<call_kind, std::uint32_t>, std::uint32_t>
        call_counts_;  // by kind and device
    std::vector<call_record> calls_;
    std::vector<std::unique_ptr<device_state>> states_;  // every device ever opened
    std::deque<note> pending_;
    std::vector<played_block> played_;
    device_stats capture_stats_{};
    device_stats playback_stats_{};
    std::int16_t fill_number_ = 0;
};

}  // namespace squeakbox::fake
