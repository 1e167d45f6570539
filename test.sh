#!/usr/bin/env bash
# Builds Squeakbox with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
cmake --preset default >/dev/null
cmake --build --preset default
# The sound-server tests run against a private PulseAudio server on null sinks.
scripts/with-pulse.sh ctest --preset default "$@"
