#pragma once
// What the real backends (the sound server, PortAudio, files) do alike around
// their own devices: the checks every call makes first (the device number,
// then the format), the device objects that forward each call to the opened
// device's queue, and the notifications of all their devices. A backend says
// only what differs: how many devices it has, what they are called, whether
// one takes the format, and how one is opened.

#include <cstdint>
#include <memory>

#include "audio/notification_queue.h"
#include "audio/sound_device.h"

namespace squeakbox {

// One opened device of a backend: its queue of lent buffers, and the calls of
// the device interface that each backend answers in its own way.
class backend_queue : public device_queue {
  public:
    using device_queue::device_queue;

    // A capture buffer is lent: queued by default; a backend whose producer
    // may be waiting for just this buffer wakes it.
    virtual mm_result add_buffer(wave_header& header) { return enqueue(header); }
    virtual mm_result write(wave_header& header) = 0;
    virtual mm_result start() = 0;
    virtual mm_result reset() = 0;
    // Stops the producer and closes the queue; mm_invalid_handle once closed.
    virtual mm_result shutdown() = 0;
    // The device object is gone: whatever it still held is released.
    void release() { shutdown(); }
};

// A device object that hands every call to its queue, which it shares with
// the notifications that may still be on their way. `Device` is
// capture_device or playback_device; `Queue` has the calls of backend_queue.
template <typename Device, typename Queue>
class forwarding_device : public Device {
  public:
    explicit forwarding_device(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}
    ~forwarding_device() override { queue_->release(); }
    forwarding_device(const forwarding_device&) = delete;
    forwarding_device& operator=(const forwarding_device&) = delete;

    mm_result prepare_header(wave_header& header) override { return queue_->prepare(header); }
    mm_result unprepare_header(wave_header& header) override { return queue_->unprepare(header); }
    mm_result reset() override { return queue_->reset(); }
    mm_result close() override { return queue_->shutdown(); }
    [[nodiscard]] device_stats stats() const override { return queue_->stats(); }

  protected:
    std::shared_ptr<Queue> queue_;
};

template <typename Queue>
class forwarding_capture_device final : public forwarding_device<capture_device, Queue> {
  public:
    using forwarding_device<capture_device, Queue>::forwarding_device;
    mm_result add_buffer(wave_header& header) override { return this->queue_->add_buffer(header); }
    mm_result start() override { return this->queue_->start(); }
};

template <typename Queue>
class forwarding_playback_device final : public forwarding_device<playback_device, Queue> {
  public:
    using forwarding_device<playback_device, Queue>::forwarding_device;
    mm_result write(wave_header& header) override { return this->queue_->write(header); }
};

// What tells one backend's devices from another's. Device numbers handed to
// describe(), query() and open() are below device_count() and the format is
// the stream's, checked before.
class device_backend {
  public:
    virtual ~device_backend() = default;
    [[nodiscard]] virtual std::uint32_t device_count(device_direction direction) = 0;
    virtual void describe(device_direction direction, std::uint32_t device, device_caps& caps) = 0;
    virtual mm_result query(device_direction /*direction*/, std::uint32_t /*device*/) {
        return mm_ok;
    }
    virtual mm_result open(device_direction direction, std::uint32_t device, device_events& target,
                           std::shared_ptr<backend_queue>& opened) = 0;

    // The notifications of every device opened here.
    notification_hub hub;
};

class backend_sound_system : public sound_system {
  public:
    ~backend_sound_system() override;
    backend_sound_system(const backend_sound_system&) = delete;
    backend_sound_system& operator=(const backend_sound_system&) = delete;

    std::uint32_t capture_device_count() final;
    mm_result capture_caps(std::uint32_t device, device_caps& caps) final;
    std::uint32_t playback_device_count() final;
    mm_result playback_caps(std::uint32_t device, device_caps& caps) final;
    mm_result query_capture(std::uint32_t device, const wave_format& format) final;
    mm_result query_playback(std::uint32_t device, const wave_format& format) final;
    mm_result open_capture(std::uint32_t device, const wave_format& format, device_events& target,
                           std::unique_ptr<capture_device>& opened) final;
    mm_result open_playback(std::uint32_t device, const wave_format& format, device_events& target,
                            std::unique_ptr<playback_device>& opened) final;
    [[nodiscard]] int event_fd() const final;
    void dispatch_pending() final;

  protected:
    explicit backend_sound_system(std::unique_ptr<device_backend> backend);
    [[nodiscard]] device_backend& backend() const noexcept { return *backend_; }

  private:
    mm_result caps(device_direction direction, std::uint32_t device, device_caps& caps);
    mm_result check(device_direction direction, std::uint32_t device, const wave_format& format);
    mm_result open(device_direction direction, std::uint32_t device, const wave_format& format,
                   device_events& target, std::shared_ptr<backend_queue>& opened);
    template <template <typename> class Forwarding, typename Device>
    mm_result open_as(device_direction direction, std::uint32_t device, const wave_format& format,
                      device_events& target, std::unique_ptr<Device>& opened);

    std::unique_ptr<device_backend> backend_;
};

}  // namespace squeakbox
