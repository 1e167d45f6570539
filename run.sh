#!/usr/bin/env bash
# Builds Squeakbox and runs the best thing there is: the bundled speech sample
# rendered six semitones higher with squeakbox-render.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DSQUEAKBOX_BUILD_TESTS=OFF -DSQUEAKBOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-run --target squeakbox-render
build-run/cli/squeakbox-render --semitones 6 resources/samples/speech.wav \
  build-run/speech-squeakbox.wav
echo "The bundled speech sample, six semitones higher: $PWD/build-run/speech-squeakbox.wav"
