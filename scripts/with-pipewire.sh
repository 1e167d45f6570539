#!/usr/bin/env bash
# Runs a command beside a private PipeWire server with its PulseAudio
# protocol (pipewire + wireplumber + pipewire-pulse, on a session bus of its
# own), with the same test rig as scripts/with-pulse.sh: a stereo null sink,
# squeak_rig, and two mono sinks on it, squeak_in (left) and squeak_out
# (right), so one recording of squeak_rig.monitor holds what went in and what
# came out on one clock. The graph runs at 44.1 kHz, so the samples pass
# through unchanged.
#   scripts/with-pipewire.sh ctest --preset default -L sound-server
# The server is stopped when the command ends; the command's status is kept.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 command [arguments...]" >&2
  exit 2
fi
for tool in pipewire wireplumber pipewire-pulse dbus-daemon pactl pacat parec paplay; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-pipewire.sh: $tool is missing; run scripts/install-deps.sh test" >&2
    exit 1
  fi
done

runtime=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-pipewire.XXXXXX")
chmod 700 "$runtime"
processes=()
stop_process() {
  if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
bus_pid=""
stop_server() {
  # The rig's helpers first, the servers last, each by its own id.
  for ((i = ${#processes[@]} - 1; i >= 0; i--)); do stop_process "${processes[i]}"; done
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
processes+=($!)
pipewire_pid=$!
for _ in $(seq 50); do [ -S "$runtime/pipewire-0" ] && break; sleep 0.1; done
wireplumber </dev/null >"$runtime/wireplumber.log" 2>&1 &
processes+=($!)
pipewire-pulse </dev/null >"$runtime/pipewire-pulse.log" 2>&1 &
processes+=($!)
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
pactl load-module module-null-sink sink_name=squeak_rig rate=44100 format=s16le channels=2 \
  channel_map=front-left,front-right >/dev/null
pactl load-module module-remap-sink sink_name=squeak_in master=squeak_rig channels=1 \
  master_channel_map=front-left channel_map=mono remix=no >/dev/null
pactl load-module module-remap-sink sink_name=squeak_out master=squeak_rig channels=1 \
  master_channel_map=front-right channel_map=mono remix=no >/dev/null
for _ in $(seq 50); do
  pactl list short sinks | grep -q "squeak_out" && break
  sleep 0.1
done
pactl set-default-sink squeak_out
pactl set-default-source squeak_in.monitor
# As on the PulseAudio rig: a low-latency reader of the rig and silence into
# squeak_in keep both sides running like a sound card.
parec --raw --format=s16le --rate=44100 --channels=2 --device=squeak_rig.monitor \
  --latency-msec=10 </dev/null >/dev/null 2>&1 &
processes+=($!)
sleep 0.3
pacat --playback --raw --format=s16le --rate=44100 --channels=1 --device=squeak_in \
  --latency-msec=10 /dev/zero </dev/null >/dev/null 2>&1 &
processes+=($!)
sleep 0.3
export SQUEAKBOX_PULSE_REQUIRED=1
export SQUEAKBOX_SOUND_SERVER=pipewire

set +e
"$@"
status=$?
set -e
exit "$status"
