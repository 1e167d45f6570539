#!/usr/bin/env bash
# Peak memory of squeakbox-render on a long recording that arrives through a
# pipe, as from `arecord | squeakbox-render - out.wav`: 30 minutes of speech
# at 44.1 kHz mono by default, made by sox and streamed without a length in
# its header.
#
#   bench/render_pipe_memory.sh [BUILD_DIR] [MINUTES]   (default: build, 30)
#
# Prints the peak resident memory; exits non-zero above 60 MB.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
minutes=${2:-30}
render="$build/cli/squeakbox-render"
limit_kb=$((60 * 1024))
[ -x "$render" ] || { echo "no $render; build first (cmake --build --preset default)" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is not installed (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample=resources/samples/speech.wav
seconds=$((minutes * 60))
repeats=$(awk -v s="$(soxi -D "$sample")" -v want="$seconds" 'BEGIN { print int(want / s) + 1 }')

sox -V1 "$sample" -r 44100 -c 1 -b 16 -t wav - repeat "$repeats" trim 0 "$seconds" |
  /usr/bin/time -f '%M %e' -o "$work/time" "$render" -q - "$work/out.wav"
read -r peak_kb wall <"$work/time"
echo "input: $minutes min of 44.1 kHz mono 16-bit speech through a pipe"
echo "output: $(soxi -D "$work/out.wav") s in $wall s"
echo "peak resident memory: $((peak_kb / 1024)) MB ($peak_kb kB; at most $((limit_kb / 1024)) MB wanted)"
[ "$peak_kb" -le "$limit_kb" ]
