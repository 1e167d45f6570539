#pragma once
// How far the voice can be moved: the engine's range, for the window and the
// command line (the engine says why it ends there).

#include "engine/pitch_shifter.h"

namespace squeakbox {

inline constexpr int default_pitch_semitones = 6;
inline constexpr int min_pitch_semitones = -pitch_shifter::max_semitones;
inline constexpr int max_pitch_semitones = pitch_shifter::max_semitones;

}  // namespace squeakbox
