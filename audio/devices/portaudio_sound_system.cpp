#include "audio/devices/portaudio_sound_system.h"

#include <portaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "audio/block_format.h"
#include "audio/quiet_stderr.h"

namespace squeakbox {
namespace {

// A running stream whose callbacks stop for this long has lost its device.
constexpr auto stall_limit = std::chrono::milliseconds(1500);
constexpr auto watchdog_period = std::chrono::milliseconds(100);

// PortAudio for the whole process: initialised once, quietly, and the device
// list taken then. It is never terminated: the sound system and its devices
// may live in static storage and be destroyed after any library object would
// be, and the host APIs' plugins (ALSA's pulse and JACK modules) do not
// unload cleanly. The process's end releases it all.
class portaudio_library {
  public:
    static portaudio_library& instance() {
        static portaudio_library* const library = new portaudio_library;
        return *library;
    }

    [[nodiscard]] bool ready() const noexcept { return error_ == paNoError; }
    [[nodiscard]] std::string problem() const {
        return ready() ? std::string() : std::string("PortAudio: ") + Pa_GetErrorText(error_);
    }
    [[nodiscard]] const std::vector<PaDeviceIndex>& devices(device_direction direction) const {
        return direction == device_direction::capture ? capture_ : playback_;
    }

  private:
    portaudio_library() {
        // Looking for a JACK server must not start one.
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        const quiet_stderr quiet;
        error_ = Pa_Initialize();
        if (!ready()) return;
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info == nullptr) continue;
            if (info->maxInputChannels > 0) capture_.push_back(i);
            if (info->maxOutputChannels > 0) playback_.push_back(i);
        }
    }
    PaError error_ = paNotInitialized;
    std::vector<PaDeviceIndex> capture_;
    std::vector<PaDeviceIndex> playback_;
};

PaStreamParameters stream_parameters(PaDeviceIndex device, device_direction direction) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = 1;
    parameters.sampleFormat = paInt16;
    parameters.suggestedLatency = direction == device_direction::capture
                                      ? info->defaultLowInputLatency
                                      : info->defaultLowOutputLatency;
    parameters.hostApiSpecificStreamInfo = nullptr;
    return parameters;
}

mm_result open_error(PaError error) {
    switch (error) {
        case paInvalidDevice:
            return mm_bad_device_id;
        case paDeviceUnavailable:
            return mm_allocated;
        case paInvalidChannelCount:
        case paInvalidSampleRate:
        case paSampleFormatNotSupported:
            return mm_bad_format;
        case paInsufficientMemory:
            return mm_no_memory;
        default:
            return mm_error;
    }
}

// One opened device: its queue of buffers and its PortAudio stream.
class portaudio_queue final : public backend_queue {
  public:
    portaudio_queue(device_direction direction, device_events& target,
                    std::shared_ptr<notification_wakeup> wakeup, std::string name)
        : backend_queue(direction, target, std::move(wakeup)), name_(std::move(name)) {}

    ~portaudio_queue() override { shutdown(); }

    PaError open(PaDeviceIndex device) {
        const PaStreamParameters parameters = stream_parameters(device, direction());
        const bool capture = direction() == device_direction::capture;
        PaError error = Pa_OpenStream(&stream_, capture ? &parameters : nullptr,
                                      capture ? nullptr : &parameters, sample_rate, block_frames,
                                      paClipOff | paDitherOff,
                                      capture ? &capture_callback : &playback_callback, this);
        if (error != paNoError) {
            stream_ = nullptr;
            return error;
        }
        error = Pa_SetStreamFinishedCallback(stream_, &finished_callback);
        if (error != paNoError) {
            Pa_CloseStream(stream_);
            stream_ = nullptr;
        }
        return error;
    }

    mm_result start() override {
        if (closed()) return mm_invalid_handle;
        if (failed() || stream_ == nullptr) return mm_error;
        if (running_) return mm_ok;
        callbacks_.store(0, std::memory_order_relaxed);
        expect_running_.store(true, std::memory_order_release);
        const PaError error = Pa_StartStream(stream_);
        if (error != paNoError) {
            expect_running_.store(false, std::memory_order_release);
            return mm_error;
        }
        running_ = true;
        return mm_ok;
    }

    mm_result write(wave_header& header) override {
        const mm_result result = enqueue(header);
        if (result != mm_ok || failed()) return result;
        // Nothing is played ahead: the first buffer written starts the sound.
        if (!running_ && start() != mm_ok) {
            // The stream cannot play: give the buffer back rather than keep it
            // for ever, and tell the window why.
            report_failure("the sound output \"" + name_ + "\" cannot be started");
        }
        return mm_ok;
    }

    mm_result reset() override {
        if (closed()) return mm_invalid_handle;
        stop_stream();
        return_queued();
        return mm_ok;
    }

    mm_result shutdown() override {
        if (closed()) return mm_invalid_handle;
        stop_stream();
        if (stream_ != nullptr) Pa_CloseStream(stream_);
        stream_ = nullptr;
        close();
        return mm_ok;
    }

    void handle_fault() override {
        if (!running_ || failed()) return;  // stopped by us meanwhile
        stop_stream();
        if (stream_ != nullptr) Pa_CloseStream(stream_);
        stream_ = nullptr;
        // A device used through ALSA has nothing to move to: the run ends,
        // and the user learns why.
        report_failure("the sound device \"" + name_ +
                       "\" stopped working or was unplugged; a device used through ALSA "
                       "is not replaced by another");
    }

    // Watchdog thread: raises a fault when a running stream's callbacks stop.
    void watch(std::chrono::steady_clock::time_point now) {
        if (!expect_running_.load(std::memory_order_acquire)) {
            watched_count_.reset();
            return;
        }
        const std::uint64_t count = callbacks_.load(std::memory_order_relaxed);
        if (!watched_count_ || *watched_count_ != count) {
            watched_count_ = count;
            watched_since_ = now;
            return;
        }
        if (now - watched_since_ >= stall_limit) {
            watched_since_ = now;
            raise_fault();
        }
    }

  private:
    void stop_stream() {
        if (!running_) return;
        expect_running_.store(false, std::memory_order_release);
        // Abort, not stop: a reset gives the buffers back at once rather than
        // playing out what PortAudio holds.
        Pa_AbortStream(stream_);
        running_ = false;
    }

    static int capture_callback(const void* input, void*, unsigned long frames,
                                const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                                void* user) {
        auto* self = static_cast<portaudio_queue*>(user);
        self->callbacks_.fetch_add(1, std::memory_order_relaxed);
        self->capture(static_cast<const std::int16_t*>(input), frames);
        return paContinue;
    }

    static int playback_callback(const void*, void* output, unsigned long frames,
                                 const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags,
                                 void* user) {
        auto* self = static_cast<portaudio_queue*>(user);
        self->callbacks_.fetch_add(1, std::memory_order_relaxed);
        // The device ran dry before this call (the callback came too late, or
        // the server stalled): the silence fell after what was played so far.
        if ((flags & paOutputUnderflow) != 0 && self->played_frames() != 0)
            self->count_underrun(self->played_frames());
        self->play(static_cast<std::int16_t*>(output), frames);
        return paContinue;
    }

    // PortAudio's own thread, when the stream has become inactive. Unless we
    // stopped it, the device went away (an unplugged microphone).
    static void finished_callback(void* user) {
        auto* self = static_cast<portaudio_queue*>(user);
        if (self->expect_running_.load(std::memory_order_acquire)) self->raise_fault();
    }

    // ALSA reports every underrun and recovery of an open device on the
    // terminal; the device's own counters keep them instead.
    const quiet_stderr quiet_{quiet_scope::alsa};
    const std::string name_;
    PaStream* stream_ = nullptr;  // UI
    bool running_ = false;        // UI
    std::atomic<bool> expect_running_{false};
    std::atomic<std::uint64_t> callbacks_{0};
    // Watchdog thread only.
    std::optional<std::uint64_t> watched_count_;
    std::chrono::steady_clock::time_point watched_since_{};
};

}  // namespace

struct portaudio_sound_system::impl final : device_backend {
    portaudio_library& library = portaudio_library::instance();
    // Filled on first use: probing a device's format can take a while.
    std::vector<std::optional<bool>> capture_supported;
    std::vector<std::optional<bool>> playback_supported;

    std::mutex watch_mutex;
    std::condition_variable watch_wake;
    std::vector<std::weak_ptr<portaudio_queue>> watched;
    bool watch_quit = false;
    std::thread watchdog;

    ~impl() override {
        if (!watchdog.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(watch_mutex);
            watch_quit = true;
        }
        watch_wake.notify_all();
        watchdog.join();
    }

    std::uint32_t device_count(device_direction direction) override {
        return static_cast<std::uint32_t>(library.devices(direction).size());
    }
    [[nodiscard]] PaDeviceIndex device(device_direction direction, std::uint32_t number) const {
        return library.devices(direction)[number];
    }

    bool supported(device_direction direction, std::uint32_t number) {
        auto& cache =
            direction == device_direction::capture ? capture_supported : playback_supported;
        cache.resize(library.devices(direction).size());
        auto& known = cache[number];
        if (!known) {
            const PaStreamParameters parameters =
                stream_parameters(device(direction, number), direction);
            const quiet_stderr quiet;
            const bool capture = direction == device_direction::capture;
            known = Pa_IsFormatSupported(capture ? &parameters : nullptr,
                                         capture ? nullptr : &parameters,
                                         sample_rate) == paFormatIsSupported;
        }
        return *known;
    }

    void describe(device_direction direction, std::uint32_t number, device_caps& caps) override {
        caps.name = Pa_GetDeviceInfo(device(direction, number))->name;
        caps.supports_44k_mono16 = supported(direction, number);
    }

    mm_result query(device_direction direction, std::uint32_t number) override {
        return supported(direction, number) ? mm_ok : mm_bad_format;
    }

    mm_result open(device_direction direction, std::uint32_t number, device_events& target,
                   std::shared_ptr<backend_queue>& opened) override {
        const PaDeviceIndex index = device(direction, number);
        auto queue = std::make_shared<portaudio_queue>(direction, target, hub.wakeup(),
                                                       Pa_GetDeviceInfo(index)->name);
        const PaError error = queue->open(index);
        if (error != paNoError) return open_error(error);
        watch(queue);
        opened = std::move(queue);
        return mm_ok;
    }

    void watch(const std::shared_ptr<portaudio_queue>& queue) {
        {
            std::lock_guard<std::mutex> lock(watch_mutex);
            std::erase_if(watched, [](const auto& q) { return q.expired(); });
            watched.push_back(queue);
        }
        if (!watchdog.joinable()) watchdog = std::thread([this] { watch_loop(); });
    }

    void watch_loop() {
        std::unique_lock<std::mutex> lock(watch_mutex);
        while (!watch_wake.wait_for(lock, watchdog_period, [this] { return watch_quit; })) {
            const auto now = std::chrono::steady_clock::now();
            for (const auto& weak : watched)
                if (const auto queue = weak.lock()) queue->watch(now);
        }
    }
};

portaudio_sound_system::portaudio_sound_system()
    : portaudio_sound_system(std::make_unique<impl>()) {}

portaudio_sound_system::portaudio_sound_system(std::unique_ptr<impl> made)
    : backend_sound_system(std::move(made)), impl_(static_cast<impl&>(backend())) {}

portaudio_sound_system::~portaudio_sound_system() = default;

std::string portaudio_sound_system::problem() const {
    return impl_.library.problem();
}

}  // namespace squeakbox
