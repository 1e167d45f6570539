#include "fake_sound_system.h"

#include "audio/devices/backend_sound_system.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace squeakbox::fake {

const char* to_string(call_kind kind) {
    switch (kind) {
        case call_kind::capture_device_count:
            return "capture_device_count";
        case call_kind::capture_caps:
            return "capture_caps";
        case call_kind::playback_device_count:
            return "playback_device_count";
        case call_kind::playback_caps:
            return "playback_caps";
        case call_kind::query_capture:
            return "query_capture";
        case call_kind::query_playback:
            return "query_playback";
        case call_kind::open_capture:
            return "open_capture";
        case call_kind::open_playback:
            return "open_playback";
        case call_kind::capture_prepare:
            return "capture_prepare";
        case call_kind::capture_unprepare:
            return "capture_unprepare";
        case call_kind::capture_add:
            return "capture_add";
        case call_kind::capture_start:
            return "capture_start";
        case call_kind::capture_reset:
            return "capture_reset";
        case call_kind::capture_close:
            return "capture_close";
        case call_kind::playback_prepare:
            return "playback_prepare";
        case call_kind::playback_unprepare:
            return "playback_unprepare";
        case call_kind::playback_write:
            return "playback_write";
        case call_kind::playback_reset:
            return "playback_reset";
        case call_kind::playback_close:
            return "playback_close";
    }
    return "?";
}

struct fake_sound_system::device_state {
    bool is_capture = false;
    std::uint32_t number = 0;
    device_events* target = nullptr;
    bool open = true;   // not yet closed successfully
    bool alive = true;  // its device object still exists
    bool started = false;
    std::deque<wave_header*> queue;                  // held by the device, oldest first
    std::vector<const wave_header*> prepared_order;  // distinct headers, first preparation first
};

// One opened device as its device object reaches it: every call is recorded
// under the kind of its direction.
class fake_sound_system::port {
  public:
    port(fake_sound_system& system, device_state& state) : system_(system), state_(state) {}

    mm_result prepare(wave_header& h) {
        return system_.prepare(state_, h,
                               kind(call_kind::capture_prepare, call_kind::playback_prepare));
    }
    mm_result unprepare(wave_header& h) {
        return system_.unprepare(state_, h,
                                 kind(call_kind::capture_unprepare, call_kind::playback_unprepare));
    }
    mm_result add_buffer(wave_header& h) {
        return system_.enqueue(state_, h, call_kind::capture_add);
    }
    mm_result write(wave_header& h) {
        return system_.enqueue(state_, h, call_kind::playback_write);
    }
    mm_result start() {
        mm_result result = system_.refusal(call_kind::capture_start, state_.number);
        if (result == mm_ok && !state_.open) result = mm_invalid_handle;
        if (result == mm_ok) state_.started = true;
        return system_.record(call_kind::capture_start, state_.number, nullptr, result);
    }
    mm_result reset() {
        return system_.reset(state_, kind(call_kind::capture_reset, call_kind::playback_reset));
    }
    mm_result shutdown() {
        return system_.close(state_, kind(call_kind::capture_close, call_kind::playback_close));
    }
    void release() { system_.destroyed(state_); }
    [[nodiscard]] device_stats stats() const {
        return state_.is_capture ? system_.capture_stats_ : system_.playback_stats_;
    }

  private:
    [[nodiscard]] call_kind kind(call_kind capture, call_kind playback) const {
        return state_.is_capture ? capture : playback;
    }

    fake_sound_system& system_;
    device_state& state_;
};

fake_sound_system::fake_sound_system(std::vector<device_profile> captures,
                                     std::vector<device_profile> playbacks)
    : capture_profiles_(std::move(captures)), playback_profiles_(std::move(playbacks)) {}

fake_sound_system::~fake_sound_system() = default;

void fake_sound_system::refuse(call_kind kind, mm_result code, std::uint32_t nth,
                               std::uint32_t device) {
    rules_.push_back({kind, code, nth, device});
}

void fake_sound_system::clear_refusals() {
    rules_.clear();
}

mm_result fake_sound_system::refusal(call_kind kind, std::uint32_t device) {
    const std::uint32_t on_device = ++call_counts_[{kind, device}];
    const std::uint32_t on_any = ++call_counts_[{kind, any_device}];
    for (const rule& r : rules_) {
        if (r.kind != kind) continue;
        if (r.device != any_device && r.device != device) continue;
        const std::uint32_t number = r.device == any_device ? on_any : on_device;
        if (r.nth == 0 || r.nth == number) return r.code;
    }
    return mm_ok;
}

mm_result fake_sound_system::record(call_kind kind, std::uint32_t device, const wave_header* header,
                                    mm_result result) {
    calls_.push_back({kind, device, header, result});
    if (on_call) on_call(calls_.back());
    return result;
}

std::uint32_t fake_sound_system::capture_device_count() {
    record(call_kind::capture_device_count, any_device, nullptr, mm_ok);
    return static_cast<std::uint32_t>(capture_profiles_.size());
}

std::uint32_t fake_sound_system::playback_device_count() {
    record(call_kind::playback_device_count, any_device, nullptr, mm_ok);
    return static_cast<std::uint32_t>(playback_profiles_.size());
}

namespace {

mm_result caps_of(const std::vector<device_profile>& profiles, std::uint32_t device,
                  device_caps& caps) {
    if (device >= profiles.size()) return mm_bad_device_id;
    caps.name = profiles[device].name;
    caps.supports_44k_mono16 = profiles[device].supports_format;
    return mm_ok;
}

mm_result query_of(const std::vector<device_profile>& profiles, std::uint32_t device,
                   const wave_format& format) {
    if (device >= profiles.size()) return mm_bad_device_id;
    if (!profiles[device].supports_format || !(format == stream_format)) return mm_bad_format;
    return mm_ok;
}

}  // namespace

mm_result fake_sound_system::capture_caps(std::uint32_t device, device_caps& caps) {
    mm_result result = refusal(call_kind::capture_caps, device);
    if (result == mm_ok) result = caps_of(capture_profiles_, device, caps);
    return record(call_kind::capture_caps, device, nullptr, result);
}

mm_result fake_sound_system::playback_caps(std::uint32_t device, device_caps& caps) {
    mm_result result = refusal(call_kind::playback_caps, device);
    if (result == mm_ok) result = caps_of(playback_profiles_, device, caps);
    return record(call_kind::playback_caps, device, nullptr, result);
}

mm_result fake_sound_system::query_capture(std::uint32_t device, const wave_format& format) {
    mm_result result = refusal(call_kind::query_capture, device);
    if (result == mm_ok) result = query_of(capture_profiles_, device, format);
    return record(call_kind::query_capture, device, nullptr, result);
}

mm_result fake_sound_system::query_playback(std::uint32_t device, const wave_format& format) {
    mm_result result = refusal(call_kind::query_playback, device);
    if (result == mm_ok) result = query_of(playback_profiles_, device, format);
    return record(call_kind::query_playback, device, nullptr, result);
}

template <template <typename> class Forwarding, typename Device>
mm_result fake_sound_system::open(bool capture, std::uint32_t device, const wave_format& format,
                                  device_events& target, std::unique_ptr<Device>& opened) {
    const call_kind kind = capture ? call_kind::open_capture : call_kind::open_playback;
    mm_result result = refusal(kind, device);
    if (result == mm_ok)
        result = query_of(capture ? capture_profiles_ : playback_profiles_, device, format);
    if (result == mm_ok) {
        auto state = std::make_unique<device_state>();
        state->is_capture = capture;
        state->number = device;
        state->target = &target;
        opened = std::make_unique<Forwarding<port>>(std::make_shared<port>(*this, *state));
        states_.push_back(std::move(state));
    }
    return record(kind, device, nullptr, result);
}

mm_result fake_sound_system::open_capture(std::uint32_t device, const wave_format& format,
                                          device_events& target,
                                          std::unique_ptr<capture_device>& opened) {
    return open<forwarding_capture_device>(true, device, format, target, opened);
}

mm_result fake_sound_system::open_playback(std::uint32_t device, const wave_format& format,
                                           device_events& target,
                                           std::unique_ptr<playback_device>& opened) {
    return open<forwarding_playback_device>(false, device, format, target, opened);
}

mm_result fake_sound_system::prepare(device_state& state, wave_header& header, call_kind kind) {
    mm_result result = refusal(kind, state.number);
    if (result == mm_ok && !state.open) result = mm_invalid_handle;
    if (result == mm_ok && (header.data == nullptr || header.buffer_length == 0)) {
        result = mm_invalid_param;
    }
    if (result == mm_ok) {
        header.flags |= header_prepared;
        if (std::find(state.prepared_order.begin(), state.prepared_order.end(), &header) ==
            state.prepared_order.end()) {
            state.prepared_order.push_back(&header);
        }
    }
    return record(kind, state.number, &header, result);
}

mm_result fake_sound_system::unprepare(device_state& state, wave_header& header, call_kind kind) {
    mm_result result = refusal(kind, state.number);
    if (result == mm_ok && !state.open) result = mm_invalid_handle;
    if (result == mm_ok && (header.flags & header_in_queue) != 0) result = mm_still_playing;
    if (result == mm_ok) header.flags &= ~header_prepared;
    return record(kind, state.number, &header, result);
}

mm_result fake_sound_system::enqueue(device_state& state, wave_header& header, call_kind kind) {
    mm_result result = refusal(kind, state.number);
    if (result == mm_ok && !state.open) result = mm_invalid_handle;
    if (result == mm_ok && (header.flags & header_prepared) == 0) result = mm_unprepared;
    if (result == mm_ok && (header.flags & header_in_queue) != 0) result = mm_still_playing;
    if (result == mm_ok) {
        header.flags = (header.flags | header_in_queue) & ~header_done;
        state.queue.push_back(&header);
        if (kind == call_kind::playback_write) {
            const auto* first = reinterpret_cast<const std::int16_t*>(header.data);
            played_.push_back({playback_header_index(&header),
                               std::vector<std::int16_t>(first, first + header.buffer_length / 2)});
        }
    }
    return record(kind, state.number, &header, result);
}

mm_result fake_sound_system::reset(device_state& state, call_kind kind) {
    mm_result result = refusal(kind, state.number);
    if (result == mm_ok && !state.open) result = mm_invalid_handle;
    if (result == mm_ok) {
        // Every held buffer comes back at once, in queue order, unfilled.
        for (wave_header* header : state.queue) {
            header->flags = (header->flags & ~header_in_queue) | header_done;
            if (state.is_capture) header->bytes_recorded = 0;
            pending_.push_back(
                {&state,
                 state.is_capture ? note::what::capture_data : note::what::playback_done,
                 header,
                 {}});
        }
        state.queue.clear();
        state.started = false;
    }
    return record(kind, state.number, nullptr, result);
}

mm_result fake_sound_system::close(device_state& state, call_kind kind) {
    mm_result result = refusal(kind, state.number);
    if (result == mm_ok && !state.open) result = mm_invalid_handle;
    if (result == mm_ok && !state.queue.empty()) result = mm_still_playing;
    if (result == mm_ok) {
        state.open = false;
        drop_notifications(&state);
    }
    return record(kind, state.number, nullptr, result);
}

void fake_sound_system::destroyed(device_state& state) {
    // A device object dropped without a successful close takes its buffers
    // and notifications with it, as a driver would on release.
    state.alive = false;
    state.open = false;
    for (wave_header* header : state.queue) header->flags &= ~header_in_queue;
    state.queue.clear();
    drop_notifications(&state);
}

void fake_sound_system::drop_notifications(const device_state* state) {
    std::erase_if(pending_, [state](const note& n) { return n.device == state; });
}

fake_sound_system::device_state* fake_sound_system::open_state(bool capture) const noexcept {
    for (auto it = states_.rbegin(); it != states_.rend(); ++it) {
        if ((*it)->is_capture == capture && (*it)->open && (*it)->alive) return it->get();
    }
    return nullptr;
}

std::size_t fake_sound_system::fill_capture(std::size_t k, std::span<const std::int16_t> samples) {
    device_state* state = open_state(true);
    // A device that was never started (or was reset) records nothing.
    if (state == nullptr || !state->started) return 0;
    std::size_t filled = 0;
    std::size_t next_sample = 0;
    while (filled < k && !state->queue.empty()) {
        wave_header* header = state->queue.front();
        state->queue.pop_front();
        ++fill_number_;
        const std::size_t count = header->buffer_length / 2;
        for (std::size_t i = 0; i < count; ++i) {
            std::int16_t value = fill_number_;
            if (!samples.empty()) {
                value = next_sample < samples.size() ? samples[next_sample] : std::int16_t{0};
                ++next_sample;
            }
            std::memcpy(header->data + 2 * i, &value, sizeof value);
        }
        header->bytes_recorded = header->buffer_length;
        header->flags = (header->flags & ~header_in_queue) | header_done;
        pending_.push_back({state, note::what::capture_data, header, {}});
        ++filled;
    }
    return filled;
}

std::size_t fake_sound_system::finish_playback(std::size_t k) {
    device_state* state = open_state(false);
    if (state == nullptr) return 0;
    std::size_t finished = 0;
    while (finished < k && !state->queue.empty()) {
        wave_header* header = state->queue.front();
        state->queue.pop_front();
        header->flags = (header->flags & ~header_in_queue) | header_done;
        pending_.push_back({state, note::what::playback_done, header, {}});
        ++finished;
    }
    return finished;
}

void fake_sound_system::queue_device_failed(bool capture, std::string reason) {
    device_state* state = open_state(capture);
    if (state != nullptr)
        pending_.push_back({state, note::what::failed, nullptr, std::move(reason)});
}

void fake_sound_system::queue_capture_ended() {
    device_state* state = open_state(true);
    if (state != nullptr) pending_.push_back({state, note::what::ended, nullptr, {}});
}

bool fake_sound_system::dispatch_one() {
    if (pending_.empty()) return false;
    note next = std::move(pending_.front());
    pending_.pop_front();
    device_events& target = *next.device->target;
    switch (next.kind) {
        case note::what::capture_data:
            target.capture_data(next.header);
            break;
        case note::what::playback_done:
            target.playback_done(next.header);
            break;
        case note::what::failed:
            target.device_failed(next.reason);
            break;
        case note::what::ended:
            target.capture_ended();
            break;
    }
    return true;
}

void fake_sound_system::dispatch_pending() {
    while (dispatch_one()) {
    }
}

std::vector<call_record> fake_sound_system::calls_of(call_kind kind) const {
    std::vector<call_record> of;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(of),
                 [kind](const call_record& c) { return c.kind == kind; });
    return of;
}

std::size_t fake_sound_system::count(call_kind kind) const {
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [kind](const call_record& c) { return c.kind == kind; }));
}

bool fake_sound_system::capture_open() const noexcept {
    return open_state(true) != nullptr;
}
bool fake_sound_system::playback_open() const noexcept {
    return open_state(false) != nullptr;
}

std::size_t fake_sound_system::capture_held() const noexcept {
    const device_state* state = open_state(true);
    return state == nullptr ? 0 : state->queue.size();
}

std::size_t fake_sound_system::playback_held() const noexcept {
    const device_state* state = open_state(false);
    return state == nullptr ? 0 : state->queue.size();
}

std::uint32_t fake_sound_system::open_capture_number() const noexcept {
    const device_state* state = open_state(true);
    return state == nullptr ? any_device : state->number;
}

std::uint32_t fake_sound_system::open_playback_number() const noexcept {
    const device_state* state = open_state(false);
    return state == nullptr ? any_device : state->number;
}

namespace {

int index_in(const std::vector<const wave_header*>& order, const wave_header* header) {
    const auto it = std::find(order.begin(), order.end(), header);
    return it == order.end() ? -1 : static_cast<int>(it - order.begin());
}

}  // namespace

int fake_sound_system::capture_header_index(const wave_header* header) const {
    for (auto it = states_.rbegin(); it != states_.rend(); ++it) {
        if ((*it)->is_capture) return index_in((*it)->prepared_order, header);
    }
    return -1;
}

int fake_sound_system::playback_header_index(const wave_header* header) const {
    for (auto it = states_.rbegin(); it != states_.rend(); ++it) {
        if (!(*it)->is_capture) return index_in((*it)->prepared_order, header);
    }
    return -1;
}

void fake_sound_system::set_stats(bool capture, device_stats stats) {
    (capture ? capture_stats_ : playback_stats_) = stats;
}

}  // namespace squeakbox::fake
