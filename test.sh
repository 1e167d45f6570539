#!/usr/bin/env bash
# Builds Squeakbox with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
cmake --preset default >/dev/null
cmake --build --preset default
# The sound-server tests run against a private PulseAudio server on null sinks.
# They keep real time on a shared machine, so a test that fails gets one more
# run; a real fault fails both.
scripts/with-pulse.sh ctest --preset default --repeat until-pass:2 "$@"
# The sound-server tests once more, against PipeWire's PulseAudio server.
scripts/with-pipewire.sh ctest --preset default --repeat until-pass:2 \
  -R 'app_on_pulse[.]|pulse_rig[.]' "$@"
