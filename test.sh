#!/usr/bin/env bash
# Builds Squeakbox with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
cmake --preset default >/dev/null
cmake --build --preset default
# The sound-server tests run against a private PulseAudio server on null sinks.
# The tests that keep real time run last, one at a time, and only they get a
# second run on a miss. Arguments go to ctest (e.g. -R PATTERN).
scripts/run-tests.sh default "$@"
