#pragma once
// How far the voice can be moved, and where it starts: the engine's range,
// for both programs' command lines, the settings file and the window (the
// engine says why it ends there, and clamps to it again itself).

#include "engine/pitch_shifter.h"

namespace squeakbox {

inline constexpr int default_pitch_semitones = 6;
inline constexpr int min_pitch_semitones = -pitch_shifter::max_semitones;
inline constexpr int max_pitch_semitones = pitch_shifter::max_semitones;

}  // namespace squeakbox
