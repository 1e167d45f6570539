#pragma once
// The one block Squeakbox moves everywhere: 512 frames of 16-bit mono sound
// at 44100 Hz, about 11.6 ms. The devices, the stream, the recorder and the
// file devices all count in these blocks.

#include <cstdint>

namespace squeakbox {

inline constexpr std::uint32_t sample_rate = 44100;
inline constexpr std::uint32_t block_frames = 512;
inline constexpr std::uint32_t bytes_per_frame = 2;  // 16-bit mono
inline constexpr std::uint32_t block_bytes = block_frames * bytes_per_frame;
inline constexpr std::uint32_t bytes_per_second = sample_rate * bytes_per_frame;

}  // namespace squeakbox
