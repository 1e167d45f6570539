#pragma once
// The one format Squeakbox streams, as every backend checks it.

#include "audio/sound_device.h"

namespace squeakbox {

// 16-bit mono PCM at 44100 Hz, with consistent derived fields; cb_size is
// ignored, as PCM has no extra bytes.
[[nodiscard]] constexpr bool is_stream_format(const wave_format& f) noexcept {
    return f.format_tag == stream_format.format_tag && f.channels == stream_format.channels &&
           f.samples_per_sec == stream_format.samples_per_sec &&
           f.avg_bytes_per_sec == stream_format.avg_bytes_per_sec &&
           f.block_align == stream_format.block_align &&
           f.bits_per_sample == stream_format.bits_per_sample;
}

}  // namespace squeakbox
