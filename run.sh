#!/usr/bin/env bash
# Builds Squeakbox and runs it: the window on a desktop with a display and a
# sound card; otherwise a run without a screen on the bundled speech sample,
# read from a file and written to one, six semitones higher.
#   ./run.sh [squeakbox arguments...]
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DSQUEAKBOX_BUILD_TESTS=OFF -DSQUEAKBOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-run --target squeakbox
squeakbox=build-run/app/squeakbox

has_display() { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }
# A sound card lists at least one capture and one playback device that can
# stream 44.1 kHz mono 16-bit.
has_sound() { ! "$squeakbox" --list-devices 2>/dev/null | grep -qx '  none'; }

if has_display && has_sound; then
  echo "Starting Squeakbox. Speak into your microphone; close the window to end."
  exec "$squeakbox" "$@"
fi

why="no display"
has_display && why="no sound card"
out="$PWD/build-run/speech-squeakbox.wav"
echo "Squeakbox needs a display and a sound card for its window ($why here)."
echo "Running it without a screen on the bundled speech sample instead (about 8 s)..."
"$squeakbox" --capture-file resources/samples/speech.wav --playback-file "$out" \
  --exit-at-end --stats "$@"
echo "The bundled speech sample, six semitones higher: $out"
