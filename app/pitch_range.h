#pragma once
// How far the voice can be moved. The engine's resampling and time-stretching
// stay sound only within about four octaves either way; beyond that the
// stretch sequences no longer hold a full period of low voices and the
// transposer's rate leaves the range its filters are built for.

namespace squeakbox {

inline constexpr int default_pitch_semitones = 6;
inline constexpr int min_pitch_semitones = -47;
inline constexpr int max_pitch_semitones = 47;

}  // namespace squeakbox
