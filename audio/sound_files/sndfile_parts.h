#pragma once
// What the sound files' parts share behind the public header: libsndfile's
// roads to memory and to pipes (its virtual I/O), the one-line reasons a
// failure is told in, the header checks, and the output format chosen by
// extension. Only audio/sound_files/ includes this.

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace squeakbox::sound_files {

std::string display_name(const std::string& path, bool output);
[[noreturn]] void fail(const std::string& name, const std::string& reason);
std::string system_reason(int error);
// libsndfile's messages end with a full stop and sometimes start with a
// category; keep them short for a one-line report.
std::string sndfile_reason(SNDFILE* file);

// ---------------------------------------------------------------------------
// A sound file held in memory, for callers that have its bytes at hand.

struct memory_file {
    std::vector<unsigned char> bytes;
    sf_count_t position = 0;
};

extern SF_VIRTUAL_IO memory_io;

// ---------------------------------------------------------------------------
// A sound file read from a pipe as it arrives, so that an hour of sound from
// a recorder costs no more memory than a second of it. libsndfile seeks while
// it reads a header: back to the start after guessing the format, and ahead
// past the audio to look for chunks behind it. So the bytes read so far are
// kept while the file is opened, and a jump far beyond them reads as the end
// of the stream (a stream ends with its audio). Once the file is open, only a
// short stretch behind the reading position is kept.

// How far ahead of the bytes read an opening seek is served by reading on.
constexpr sf_count_t open_reach = sf_count_t{1} << 20;
// What stays behind the reading position once the file is open.
constexpr sf_count_t kept_behind = sf_count_t{1} << 16;

struct stream_file {
    int fd = -1;
    std::vector<unsigned char> window;  // the stream's bytes from `start` on
    sf_count_t start = 0;
    sf_count_t position = 0;
    bool opening = true;
    bool beyond_reach = false;  // `position` lies past what an opening seek reads
    bool ended = false;
    int read_error = 0;
    bool refused_seek = false;    // a seek back before the window, or from the end
    bool skipped = false;         // an opening seek jumped past what was read
    bool starved = false;         // a read asked for bytes past the end of the stream
    std::size_t riff_chunk = 12;  // the next WAV chunk header to look at
    bool riff_seen = false;

    [[nodiscard]] sf_count_t end() const { return start + static_cast<sf_count_t>(window.size()); }

    // Reads on until the window reaches `upto`; once open, drops what lies
    // well behind `keep_from`.
    void fill(sf_count_t upto, sf_count_t keep_from) {
        unsigned char chunk[1 << 16];
        while (end() < upto && !ended) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0) read_error = errno;
                ended = true;
                break;
            }
            const sf_count_t drop = std::min(keep_from, end()) - kept_behind - start;
            if (!opening && drop >= kept_behind) {
                window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(drop));
                start += drop;
            }
            window.insert(window.end(), chunk, chunk + n);
            mark_unknown_wav_length();
        }
    }

    // A WAV stream whose data chunk says 0 bytes was written by a recorder
    // that could not go back to fill in the length; libsndfile would read
    // nothing from it. The data runs to the end of the stream instead.
    void mark_unknown_wav_length() {
        if (riff_seen || start != 0 || window.size() < 12) return;
        if (std::memcmp(window.data(), "RIFF", 4) != 0 ||
            std::memcmp(window.data() + 8, "WAVE", 4) != 0) {
            riff_seen = true;
            return;
        }
        while (riff_chunk + 8 <= window.size()) {
            unsigned char* header = window.data() + riff_chunk;
            const std::uint32_t size = header[4] | header[5] << 8 | header[6] << 16 |
                                       static_cast<std::uint32_t>(header[7]) << 24;
            if (std::memcmp(header, "data", 4) == 0) {
                if (size == 0) std::memset(header + 4, 0xFF, 4);
                riff_seen = true;
                return;
            }
            riff_chunk += 8 + std::size_t{size} + (size & 1u);
        }
    }
};

extern SF_VIRTUAL_IO stream_io;

// ---------------------------------------------------------------------------
// A sound file written into a pipe, a FIFO or a device that cannot seek.
// libsndfile goes back to the header when it knows the lengths; here the
// header says "length unknown" instead, as streaming recorders write it, and
// those late rewrites are dropped. The file's head is held back until the
// first samples are written, because libsndfile writes the header twice.

struct stream_sink {
    int fd = -1;
    int major = 0;
    std::vector<unsigned char> head;  // the bytes from 0 on, while held back
    bool holding = true;
    sf_count_t position = 0;
    sf_count_t sent = 0;  // bytes passed on to `fd`
    int error = 0;

    bool send(const unsigned char* data, std::size_t count) {
        while (count > 0) {
            const ssize_t n = ::write(fd, data, count);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
                return false;
            }
            data += n;
            count -= static_cast<std::size_t>(n);
            sent += n;
        }
        return true;
    }

    void put_unknown(std::size_t at) {
        if (at + 4 <= head.size()) std::memset(head.data() + at, 0xFF, 4);
    }

    // Marks the lengths in the header as unknown and passes the head on.
    bool release() {
        if (!holding) return error == 0;
        holding = false;
        const auto tag = [this](std::size_t at, const char* text) {
            return at + 4 <= head.size() && std::memcmp(head.data() + at, text, 4) == 0;
        };
        if ((major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) && tag(0, "RIFF")) {
            put_unknown(4);
            for (std::size_t at = 12; at + 8 <= head.size();) {
                const std::uint32_t size = head[at + 4] | head[at + 5] << 8 | head[at + 6] << 16 |
                                           static_cast<std::uint32_t>(head[at + 7]) << 24;
                if (tag(at, "data")) {
                    put_unknown(at + 4);
                    break;
                }
                at += 8 + std::size_t{size} + (size & 1u);
            }
        } else if (major == SF_FORMAT_AU && tag(0, ".snd")) {
            put_unknown(8);
        }
        const bool sent_all = send(head.data(), head.size());
        head = {};
        return sent_all;
    }
};

extern SF_VIRTUAL_IO sink_io;

// A file whose header promises more data than the file holds is reported by
// libsndfile only in its log ("data : 88200 (should be 49956)"); it then reads
// what is there. Placeholder lengths mark a stream written without knowing
// its length, which is not a fault.
bool header_promises_more(SNDFILE* file);
// A stream written without knowing its length says so with a placeholder in
// its header (0, or a number near 2^31 or 2^32); it ends where the stream does.
bool header_length_unknown(SNDFILE* file);

// ---------------------------------------------------------------------------
// Output formats by extension

struct output_format {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::string name = "WAV 16-bit";
};

// libsndfile's name of a format or subtype, by SFC_GET_FORMAT_INFO and its siblings.
std::string format_info_name(int format, int command);

// The format a name's extension asks for (WAV when it names none that this
// libsndfile writes); fails when libsndfile cannot write it as asked.
output_format choose_format(const std::string& path, const std::string& name,
                            std::uint32_t sample_rate, std::uint32_t channels);

}  // namespace squeakbox::sound_files
