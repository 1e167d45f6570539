#include "audio/devices/backend_sound_system.h"

#include <utility>

namespace squeakbox {
namespace {

// 16-bit mono PCM at 44100 Hz, with consistent derived fields; cb_size is
// ignored, as PCM has no extra bytes.
bool is_stream_format(const wave_format& f) noexcept {
    return f.format_tag == stream_format.format_tag && f.channels == stream_format.channels &&
           f.samples_per_sec == stream_format.samples_per_sec &&
           f.avg_bytes_per_sec == stream_format.avg_bytes_per_sec &&
           f.block_align == stream_format.block_align &&
           f.bits_per_sample == stream_format.bits_per_sample;
}

}  // namespace

backend_sound_system::backend_sound_system(std::unique_ptr<device_backend> backend)
    : backend_(std::move(backend)) {}

backend_sound_system::~backend_sound_system() = default;

std::uint32_t backend_sound_system::capture_device_count() {
    return backend_->device_count(device_direction::capture);
}

std::uint32_t backend_sound_system::playback_device_count() {
    return backend_->device_count(device_direction::playback);
}

mm_result backend_sound_system::capture_caps(std::uint32_t device, device_caps& caps) {
    return this->caps(device_direction::capture, device, caps);
}

mm_result backend_sound_system::playback_caps(std::uint32_t device, device_caps& caps) {
    return this->caps(device_direction::playback, device, caps);
}

mm_result backend_sound_system::caps(device_direction direction, std::uint32_t device,
                                     device_caps& caps) {
    if (device >= backend_->device_count(direction)) return mm_bad_device_id;
    backend_->describe(direction, device, caps);
    return mm_ok;
}

// A wrong device number or format is refused before the backend looks at
// anything (a capture file is not even opened).
mm_result backend_sound_system::check(device_direction direction, std::uint32_t device,
                                      const wave_format& format) {
    if (device >= backend_->device_count(direction)) return mm_bad_device_id;
    return is_stream_format(format) ? mm_ok : mm_bad_format;
}

mm_result backend_sound_system::query_capture(std::uint32_t device, const wave_format& format) {
    const mm_result result = check(device_direction::capture, device, format);
    return result != mm_ok ? result : backend_->query(device_direction::capture, device);
}

mm_result backend_sound_system::query_playback(std::uint32_t device, const wave_format& format) {
    const mm_result result = check(device_direction::playback, device, format);
    return result != mm_ok ? result : backend_->query(device_direction::playback, device);
}

mm_result backend_sound_system::open(device_direction direction, std::uint32_t device,
                                     const wave_format& format, device_events& target,
                                     std::shared_ptr<backend_queue>& opened) {
    mm_result result = check(direction, device, format);
    if (result == mm_ok) result = backend_->open(direction, device, target, opened);
    if (result == mm_ok) backend_->hub.attach(opened);
    return result;
}

template <template <typename> class Forwarding, typename Device>
mm_result backend_sound_system::open_as(device_direction direction, std::uint32_t device,
                                        const wave_format& format, device_events& target,
                                        std::unique_ptr<Device>& opened) {
    std::shared_ptr<backend_queue> queue;
    const mm_result result = open(direction, device, format, target, queue);
    if (result == mm_ok) opened = std::make_unique<Forwarding<backend_queue>>(std::move(queue));
    return result;
}

mm_result backend_sound_system::open_capture(std::uint32_t device, const wave_format& format,
                                             device_events& target,
                                             std::unique_ptr<capture_device>& opened) {
    return open_as<forwarding_capture_device>(device_direction::capture, device, format, target,
                                              opened);
}

mm_result backend_sound_system::open_playback(std::uint32_t device, const wave_format& format,
                                              device_events& target,
                                              std::unique_ptr<playback_device>& opened) {
    return open_as<forwarding_playback_device>(device_direction::playback, device, format, target,
                                               opened);
}

int backend_sound_system::event_fd() const {
    return backend_->hub.event_fd();
}

void backend_sound_system::dispatch_pending() {
    backend_->hub.dispatch_pending();
}

}  // namespace squeakbox
