#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Runs a command beside a private PulseAudio server, for the tests that send
# sound through real devices, on the rig of scripts/sound-rig.sh: squeak_in
# and squeak_out are the left and right channels of the null sink squeak_rig,
# so one recording of squeak_rig.monitor holds what went in and what came out
# side by side on one clock.
#   scripts/with-pulse.sh ctest --preset default
# The server is stopped when the command ends; the command's status is kept.
set -euo pipefail
# shellcheck source=sound-rig.sh
. "$(dirname "${BASH_SOURCE[0]}")/sound-rig.sh"
rig_check "$#" pulseaudio

runtime=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-pulse.XXXXXX")
socket="$runtime/native"
stop_server() {
  rig_stop_restarted "$runtime/restarted"
  rig_stop_processes
  rm -rf "$runtime"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

# As root the daemon wants --system; a per-user daemon with explicit modules,
# its own runtime folder and no idle exit is what the tests need.
modules=(-L "module-native-protocol-unix socket=$socket auth-anonymous=1")
for module in "${rig_modules[@]}"; do modules+=(-L "$module"); done
HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$runtime/config" \
  pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=false \
  --log-target="file:$runtime/pulse.log" "${modules[@]}" </dev/null &
server=$!
rig_processes+=("$server")
export SQUEAKBOX_SERVER_PIDS="$server"
# What a test runs to start the server again after killing it: the same
# server with the same rig, stopped with it.
restart="$runtime/restart-server"
{
  printf '#!/usr/bin/env bash\nset -eu\n. %q\n' "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/sound-rig.sh"
  printf 'HOME=%q XDG_RUNTIME_DIR=%q XDG_CONFIG_HOME=%q' "$runtime" "$runtime" "$runtime/config"
  printf ' %q' pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 \
    --use-pid-file=false "--log-target=file:$runtime/pulse-again.log" "${modules[@]}"
  printf ' </dev/null >/dev/null 2>&1 &\necho $! >>%q\n' "$runtime/restarted"
  printf 'export XDG_RUNTIME_DIR=%q PULSE_SERVER=%q\n' "$runtime" "unix:$socket"
  printf 'rig_restart_helpers %q\n' "$runtime/restarted"
} >"$restart"
chmod +x "$restart"
export SQUEAKBOX_SERVER_RESTART="$restart"

export XDG_RUNTIME_DIR="$runtime"
export PULSE_SERVER="unix:$socket"
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "with-pulse.sh: the PulseAudio server did not start:" >&2
    cat "$runtime/pulse.log" >&2 || true
    exit 1
  fi
  sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
  echo "with-pulse.sh: the PulseAudio server does not answer" >&2
  exit 1
fi
rig_start_helpers
rig_run "$@"
