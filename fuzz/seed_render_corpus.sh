#!/usr/bin/env bash
# Writes the starting corpus of the render-input fuzzer: a few hundredths of a
# second of the bundled voice in every container and sample coding the
# renderer meets, plus files it must refuse. The fuzzer grows the corpus from
# these; scripts/fuzz.sh --update keeps what it finds.
set -euo pipefail
cd "$(dirname "$0")/.."
out=fuzz/corpus/render_input
mkdir -p "$out"
voice=resources/samples/speech.wav
clip() { sox "$voice" "$@" trim 1.0 0.04; }

clip "$out/mono-44k-s16.wav"
clip -r 8000 -c 2 "$out/stereo-8k-s16.wav"
clip -r 22050 -e unsigned-integer -b 8 "$out/mono-22k-u8.wav"
clip -e floating-point -b 32 "$out/mono-44k-f32.wav"
clip -r 48000 -c 2 -e floating-point -b 64 "$out/stereo-48k-f64.wav"
clip -b 24 "$out/mono-44k-s24.aiff"
clip -r 96000 -b 32 "$out/mono-96k-s32.au"
clip -c 2 "$out/stereo-44k.flac"
clip -C 0 "$out/mono-44k.ogg"
clip -e a-law "$out/mono-44k-alaw.wav"
clip -e u-law -r 8000 "$out/mono-8k-ulaw.au"
clip -e ima-adpcm "$out/mono-44k-ima.wav"
clip -t w64 "$out/mono-44k.w64"
clip -t caf "$out/mono-44k.caf"
# Refused: three channels, a rate below 8 kHz, no frames, a cut-off file.
clip -c 3 "$out/three-channels.wav"
clip -r 4000 "$out/rate-4k.wav"
sox -n -r 44100 -c 1 -b 16 "$out/empty.wav" trim 0 0
head -c 2000 "$out/mono-44k-s16.wav" >"$out/truncated.wav"
ls -l "$out"
