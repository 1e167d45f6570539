#!/usr/bin/env bash
# Runs the tests of a built preset beside the private sound server:
#   scripts/run-tests.sh PRESET [ctest arguments...]
# Everything that does not keep real time runs once, so a failure there is a
# fault. The real-time tests (label `realtime`: the sound server, file devices
# on the clock) run afterwards one at a time, and one that misses on a busy
# machine gets a second run; a real fault fails both. The arguments go to both
# ctest runs (-R, -E, -j, ...). Both runs always happen; the status is that of
# the worse. A run that matches no test fails (--no-tests=error), so a pattern
# that names nothing is not taken for a pass.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  echo "usage: $0 PRESET [ctest arguments...]" >&2
  exit 2
fi
preset=$1
shift
exec scripts/with-pulse.sh bash -c '
  preset=$1
  shift
  status=0
  ctest --preset "$preset" --no-tests=error -LE realtime "$@" || status=$?
  ctest --preset "$preset" --no-tests=error -L realtime --repeat until-pass:2 "$@" || status=$?
  exit "$status"' run-tests "$preset" "$@"
