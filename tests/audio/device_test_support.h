#pragma once
// Helpers for the sound device tests: a notification recorder, a loop that
// waits on a sound system's eventfd, buffer sets, and a tiny WAV reader and
// writer of its own, so a file written by the devices is checked by code
// that shares nothing with them.

#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "audio/sound_device.h"

namespace squeakbox::testing {

struct event_log final : device_events {
    struct entry {
        enum kind { capture, playback, ended, failed } what;
        wave_header* header = nullptr;
        std::uint32_t bytes = 0;
    };
    std::vector<entry> entries;
    std::string failure;
    // Runs inside each buffer notification, after it has been logged.
    std::function<void(wave_header*)> on_buffer;

    void capture_data(wave_header* h) override {
        entries.push_back({entry::capture, h, h->bytes_recorded});
        if (on_buffer) on_buffer(h);
    }
    void playback_done(wave_header* h) override {
        entries.push_back({entry::playback, h, 0});
        if (on_buffer) on_buffer(h);
    }
    void capture_ended() override { entries.push_back({entry::ended, nullptr, 0}); }
    void device_failed(const std::string& reason) override {
        failure = reason;
        entries.push_back({entry::failed, nullptr, 0});
    }

    [[nodiscard]] std::size_t count(entry::kind what) const {
        std::size_t n = 0;
        for (const auto& e : entries) n += e.what == what ? 1 : 0;
        return n;
    }
};

// Waits on the system's eventfd and dispatches until `done` holds or the
// deadline passes; a hang is a failure, not a stuck test.
inline bool pump_until(sound_system& system, const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd p{system.event_fd(), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 20)));
        system.dispatch_pending();
    }
    return true;
}

// Dispatches whatever arrives during `span`.
inline void pump_for(sound_system& system, std::chrono::milliseconds span) {
    pump_until(
        system, [] { return false; }, span);
}

// Buffers of 1024 bytes with their headers, bound as the stream binds them.
template <std::size_t N, std::size_t Bytes = 1024>
struct buffer_set {
    std::array<std::array<char, Bytes>, N> data{};
    std::array<wave_header, N> headers{};
    buffer_set() {
        for (std::size_t i = 0; i < N; ++i) {
            headers[i].data = data[i].data();
            headers[i].buffer_length = Bytes;
        }
    }
    [[nodiscard]] std::size_t index_of(const wave_header* h) const {
        return static_cast<std::size_t>(h - headers.data());
    }
    [[nodiscard]] const std::int16_t* samples(std::size_t i) const {
        return reinterpret_cast<const std::int16_t*>(data[i].data());
    }
};

struct wav_contents {
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t riff_size = 0;
    std::vector<std::int16_t> samples;  // interleaved
    bool ok = false;
};

inline void put16(std::ofstream& out, std::uint16_t v) {
    const char b[2] = {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
    out.write(b, 2);
}
inline void put32(std::ofstream& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v & 0xffff));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

inline void write_wav(const std::string& path, std::uint32_t rate, std::uint16_t channels,
                      const std::vector<std::int16_t>& interleaved) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const auto data_bytes = static_cast<std::uint32_t>(interleaved.size() * 2);
    out.write("RIFF", 4);
    put32(out, 36 + data_bytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, channels);
    put32(out, rate);
    put32(out, rate * channels * 2u);
    put16(out, static_cast<std::uint16_t>(channels * 2));
    put16(out, 16);
    out.write("data", 4);
    put32(out, data_bytes);
    for (const std::int16_t s : interleaved) put16(out, static_cast<std::uint16_t>(s));
}

inline wav_contents read_wav(const std::string& path) {
    wav_contents wav;
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    auto u16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
    };
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(u16(at) |
                                          (static_cast<std::uint32_t>(u16(at + 2)) << 16));
    };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return wav;
    wav.riff_size = u32(4);
    std::size_t at = 12;
    bool have_format = false;
    while (at + 8 <= bytes.size()) {
        const std::uint32_t size = u32(at + 4);
        const std::size_t body = at + 8;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && body + 16 <= bytes.size()) {
            wav.channels = u16(body + 2);
            wav.rate = u32(body + 4);
            wav.bits = u16(body + 14);
            have_format = true;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (body + size > bytes.size()) return wav;  // sizes not written: unreadable
            for (std::size_t i = 0; i + 1 < size; i += 2)
                wav.samples.push_back(static_cast<std::int16_t>(u16(body + i)));
            wav.ok = have_format;
            return wav;
        }
        at = body + size + (size & 1);
    }
    return wav;
}

// A recognisable, never-repeating test signal: sample i of a sequence.
inline std::int16_t ramp_sample(std::size_t i) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(i * 7 + 3));
}

}  // namespace squeakbox::testing
