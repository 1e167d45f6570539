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
# On PipeWire's PulseAudio server too: the devices' round trip, a call
# through a null sink, the Squeakbox microphone, the device lists and a server
# that dies. (The sample-exact checks of speech and tone stay on PulseAudio:
# PipeWire converts through floating point and eases streams in.)
scripts/with-pipewire.sh ctest --preset default --repeat until-pass:2 \
  -R 'app_on_pulse[.](ACall|TheSqueakbox|TheDevice|AServer)|pulse_rig[.]' "$@"
