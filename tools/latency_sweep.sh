#!/usr/bin/env bash
# Weighs time-stretcher lengths for the low-latency mode on speech: the
# bundled sample and two espeak-ng voices (a man's and a woman's), made here.
# Prints, per set of lengths and pitch, the engine's delay, the pitch error,
# the share of voiced frames near the intended pitch and the steepest join.
#   tools/latency_sweep.sh [BUILD_DIR] [sweep options...]
#   e.g. tools/latency_sweep.sh build --lengths 82/28/12,40/15/8,30/10/6
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then build=$1; shift; fi
for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null || { echo "$tool is missing; run scripts/install-deps.sh test" >&2; exit 1; }
done
cmake --build "$build" --target squeakbox-latency-sweep >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
text="Squeakbox changes the pitch of your voice while you speak. The quick brown fox
jumps over the lazy dog, and nobody minds. Call me when you get home tonight, and
bring the blue umbrella, because it might rain again before the evening is over."
espeak-ng -v en-us -s 150 -w "$work/man-espeak.wav" "$text"
espeak-ng -v en-gb+f3 -s 150 -w "$work/woman-espeak.wav" "$text"
for voice in man woman; do
  sox -D "$work/$voice-espeak.wav" -r 44100 -c 1 -b 16 "$work/$voice.wav"
done
echo "speech: resources/samples/speech.wav, espeak-ng en-us and en-gb+f3 (columns in that order)"
"$build/tools/squeakbox-latency-sweep" "$@" resources/samples/speech.wav "$work/man.wav" "$work/woman.wav"
