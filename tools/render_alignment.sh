#!/usr/bin/env bash
# How well squeakbox-render lines long files up: makes half an hour (or
# MINUTES) of speech with three espeak-ng voices reading different texts (a
# man's and a woman's English and a man's German), renders each at each pitch
# and prints, for the first and the last minute, where the sound comes out
# against where it went in (the centre of the loudness envelopes' match,
# positive when late) and the best match.
#   tools/render_alignment.sh [BUILD_DIR] [MINUTES [PITCH...]]
#   e.g. tools/render_alignment.sh build 30 -6 6 43
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ] && [ -d "$1" ]; then build=$1; shift; fi
minutes=${1:-30}
[ $# -gt 0 ] && shift
pitches=("$@")
[ ${#pitches[@]} -gt 0 ] || pitches=(-47 -24 -12 -6 6 12 24 43 47)
for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null || { echo "$tool is missing; run scripts/install-deps.sh test" >&2; exit 1; }
done
texts=/usr/share/common-licenses
[ -r "$texts/GPL-3" ] || { echo "$texts holds no texts to read out" >&2; exit 1; }
cmake --build "$build" --target squeakbox-render squeakbox-render-alignment >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Long texts (each reads for over half an hour), repeated for longer runs.
repeat_text() { for _ in $(seq $((minutes / 30 + 1))); do cat "$@"; done; }
repeat_text "$texts/GPL-3" | espeak-ng -v en-us -s 165 -w "$work/man-espeak.wav"
repeat_text "$texts/Apache-2.0" "$texts/LGPL-2.1" | espeak-ng -v en-gb+f3 -s 170 -w "$work/woman-espeak.wav"
repeat_text "$texts/GFDL-1.3" "$texts/MPL-2.0" "$texts/GPL-2" | espeak-ng -v de+m3 -s 150 -w "$work/german-espeak.wav"
# The synthetic voices pause in digital silence, which no recording has: a
# silent overlap makes the stretcher's search start the sequence after every
# pause at the seek window's start, which moves a far-up render by some 40 ms.
# A microphone's noise floor, about -65 dBFS, makes them speech as recorded.
for voice in man woman german; do
  sox -D "$work/$voice-espeak.wav" -r 44100 -c 1 -b 16 "$work/$voice-clean.wav" trim 0 $((minutes * 60))
  sox "$work/$voice-clean.wav" -p synth whitenoise vol 0.001 |
    sox -D -m -v 1 "$work/$voice-clean.wav" -v 1 - -b 16 "$work/$voice.wav"
  sox "$work/$voice.wav" -t raw "$work/$voice.raw"
  rm "$work/$voice-espeak.wav" "$work/$voice-clean.wav"
done
echo "first and last minute of $minutes minutes of espeak-ng speech over a noise floor; ms, positive when late"
for voice in man woman german; do
  for pitch in "${pitches[@]}"; do
    "$build/cli/squeakbox-render" --quiet -s "$pitch" "$work/$voice.wav" "$work/out.wav"
    sox "$work/out.wav" -t raw "$work/out.raw"
    printf '%s %+d: %s\n' "$voice" "$pitch" \
      "$("$build/tools/squeakbox-render-alignment" "$work/$voice.raw" "$work/out.raw" 44100 60 800 | paste -sd ' ')"
  done
done
