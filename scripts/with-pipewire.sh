#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Runs a command beside a private PipeWire server with its PulseAudio
# protocol (pipewire + wireplumber + pipewire-pulse, on a session bus of its
# own), with the same test rig as scripts/with-pulse.sh (scripts/sound-rig.sh):
# squeak_in and squeak_out are the left and right channels of the null sink
# squeak_rig, so one recording of squeak_rig.monitor holds what went in and
# what came out on one clock. The graph runs at 44.1 kHz, so the samples pass
# through unchanged.
#   scripts/with-pipewire.sh ctest --preset default -L realtime
# The server is stopped when the command ends; the command's status is kept.
set -euo pipefail
# shellcheck source=sound-rig.sh
. "$(dirname "${BASH_SOURCE[0]}")/sound-rig.sh"
rig_check "$#" pipewire wireplumber pipewire-pulse dbus-daemon

runtime=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-pipewire.XXXXXX")
chmod 700 "$runtime"
bus_pid=""
stop_server() {
  # The rig's helpers first, the servers last, the session bus after them.
  rig_stop_processes
  if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$runtime"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

export HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$runtime/config"
export XDG_STATE_HOME="$runtime/state" XDG_DATA_HOME="$runtime/data"
# One clock rate for the whole graph: 16-bit samples then pass unchanged.
mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/squeakbox-tests.conf" <<'CONF'
context.properties = {
    default.clock.rate = 44100
    default.clock.allowed-rates = [ 44100 ]
}
CONF

dbus-daemon --session --fork --address="unix:path=$runtime/bus" --print-pid=3 3>"$runtime/bus.pid"
bus_pid=$(cat "$runtime/bus.pid")
export DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"

pipewire </dev/null >"$runtime/pipewire.log" 2>&1 &
rig_processes+=($!)
pipewire_pid=$!
for _ in $(seq 50); do [ -S "$runtime/pipewire-0" ] && break; sleep 0.1; done
wireplumber </dev/null >"$runtime/wireplumber.log" 2>&1 &
rig_processes+=($!)
pipewire-pulse </dev/null >"$runtime/pipewire-pulse.log" 2>&1 &
rig_processes+=($!)
# What a test kills to take the server away.
export SQUEAKBOX_SERVER_PIDS="$! $pipewire_pid"

export PULSE_SERVER="unix:$runtime/pulse/native"
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
  echo "with-pipewire.sh: the PipeWire server does not answer:" >&2
  tail -n 20 "$runtime"/*.log >&2 || true
  exit 1
fi
for module in "${rig_modules[@]}"; do
  # shellcheck disable=SC2086  # a module and its arguments, split into words
  pactl load-module $module >/dev/null
done
for _ in $(seq 50); do
  pactl list short sinks | grep -q "squeak_out" && break
  sleep 0.1
done
rig_start_helpers
export SQUEAKBOX_SOUND_SERVER=pipewire
rig_run "$@"
