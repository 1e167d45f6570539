#!/usr/bin/env bash
# Runs a command beside a private PulseAudio server, for the tests that send
# sound through real devices. The server has a stereo null sink, squeak_rig,
# and two mono sinks on it: squeak_in (its left channel) and squeak_out (its
# right channel). A test plays into squeak_in, captures squeak_in.monitor,
# plays to squeak_out, and records squeak_rig.monitor, which holds what went
# in and what came out side by side on one clock.
# Two helper streams make the null sinks behave like a sound card: silence
# played into squeak_in keeps it running (an idle filter sink's monitor
# delivers nothing), and a low-latency reader of squeak_rig.monitor keeps the
# null sink working in small steps (alone it renders up to two seconds at a
# time, and its monitors deliver in bursts).
#   scripts/with-pulse.sh ctest --preset default
# The server is stopped when the command ends; the command's status is kept.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 command [arguments...]" >&2
  exit 2
fi
for tool in pulseaudio pactl pacat parec paplay; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-pulse.sh: $tool is missing; run scripts/install-deps.sh test" >&2
    exit 1
  fi
done

runtime=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-pulse.XXXXXX")
socket="$runtime/native"
server=""
helpers=()
stop_process() {
  if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
stop_server() {
  for helper in "${helpers[@]}"; do stop_process "$helper"; done
  stop_process "$server"
  rm -rf "$runtime"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

# As root the daemon wants --system; a per-user daemon with explicit modules,
# its own runtime folder and no idle exit is what the tests need.
HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$runtime/config" \
  pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=false \
  --log-target="file:$runtime/pulse.log" \
  -L "module-native-protocol-unix socket=$socket auth-anonymous=1" \
  -L "module-null-sink sink_name=squeak_rig rate=44100 format=s16le channels=2 channel_map=front-left,front-right" \
  -L "module-remap-sink sink_name=squeak_in master=squeak_rig channels=1 master_channel_map=front-left channel_map=mono remix=no" \
  -L "module-remap-sink sink_name=squeak_out master=squeak_rig channels=1 master_channel_map=front-right channel_map=mono remix=no" \
  </dev/null &
server=$!
export SQUEAKBOX_SERVER_PIDS="$server"

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
pactl set-default-sink squeak_out
pactl set-default-source squeak_in.monitor
# The reader first: the silence stream's buffer is sized by the latency the
# rig has when it connects.
parec --raw --format=s16le --rate=44100 --channels=2 --device=squeak_rig.monitor \
  --latency-msec=10 </dev/null >/dev/null 2>&1 &
helpers+=($!)
sleep 0.3
pacat --playback --raw --format=s16le --rate=44100 --channels=1 --device=squeak_in \
  --latency-msec=10 /dev/zero </dev/null >/dev/null 2>&1 &
helpers+=($!)
sleep 0.3
# The sound-server tests fail, rather than skip, when something is missing.
export SQUEAKBOX_PULSE_REQUIRED=1

set +e
"$@"
status=$?
set -e
exit "$status"
