# shellcheck shell=bash
# The test rig that scripts/with-pulse.sh and scripts/with-pipewire.sh build
# on their private servers (sourced by both, not run on its own). The server
# gets a stereo null sink, squeak_rig, and two mono sinks on it: squeak_in
# (its left channel) and squeak_out (its right channel). A test plays into
# squeak_in, captures squeak_in.monitor, plays to squeak_out, and records
# squeak_rig.monitor, which holds what went in and what came out side by side
# on one clock.

# The rig's modules, one a word list, in the order they are loaded.
# shellcheck disable=SC2034  # read by the scripts that source this one
rig_modules=(
  "module-null-sink sink_name=squeak_rig rate=44100 format=s16le channels=2 channel_map=front-left,front-right"
  "module-remap-sink sink_name=squeak_in master=squeak_rig channels=1 master_channel_map=front-left channel_map=mono remix=no"
  "module-remap-sink sink_name=squeak_out master=squeak_rig channels=1 master_channel_map=front-right channel_map=mono remix=no"
)

# The servers and helper streams started for the command, in order.
rig_processes=()

# rig_check ARGUMENT_COUNT TOOL...: stops with the usage when no command was
# given, and with a hint when the server or a client tool is missing.
rig_check() {
  if [ "$1" -eq 0 ]; then
    echo "usage: $0 command [arguments...]" >&2
    exit 2
  fi
  shift
  local tool
  for tool in "$@" pactl pacat parec paplay; do
    if ! command -v "$tool" >/dev/null; then
      echo "$(basename "$0"): $tool is missing; run scripts/install-deps.sh test" >&2
      exit 1
    fi
  done
}

# Ends the rig's processes, the last started first, each by its own id.
rig_stop_processes() {
  local i pid
  for ((i = ${#rig_processes[@]} - 1; i >= 0; i--)); do
    pid=${rig_processes[i]}
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
}

# Once the rig's sinks are there: makes them the defaults and starts two
# helper streams that make the null sinks behave like a sound card. Silence
# played into squeak_in keeps it running (an idle filter sink's monitor
# delivers nothing), and a low-latency reader of squeak_rig.monitor keeps the
# null sink working in small steps (alone it renders up to two seconds at a
# time, and its monitors deliver in bursts). The reader comes first: the
# silence stream's buffer is sized by the latency the rig has when it
# connects.
rig_start_helpers() {
  pactl set-default-sink squeak_out
  pactl set-default-source squeak_in.monitor
  parec --raw --format=s16le --rate=44100 --channels=2 --device=squeak_rig.monitor \
    --latency-msec=10 </dev/null >/dev/null 2>&1 &
  rig_processes+=($!)
  sleep 0.3
  pacat --playback --raw --format=s16le --rate=44100 --channels=1 --device=squeak_in \
    --latency-msec=10 /dev/zero </dev/null >/dev/null 2>&1 &
  rig_processes+=($!)
  sleep 0.3
  # The sound-server tests fail, rather than skip, when something is missing.
  export SQUEAKBOX_PULSE_REQUIRED=1
}

# rig_restart_helpers FILE [load]: in the script a test runs to start the
# server again after killing it (SQUEAKBOX_SERVER_RESTART), once the server
# process runs: waits for it to answer, loads the rig's modules ("load", for a
# server that does not take them on its command line), and starts the
# helpers of rig_start_helpers again. The id of every process started goes
# into FILE, so that rig_stop_restarted ends it with the rig.
rig_restart_helpers() {
  local module
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  if [ "${2:-}" = load ]; then
    for module in "${rig_modules[@]}"; do
      # shellcheck disable=SC2086  # a module and its arguments, split into words
      pactl load-module $module >/dev/null
    done
  fi
  for _ in $(seq 100); do
    pactl list short sinks | grep -q "squeak_out" && break
    sleep 0.05
  done
  pactl set-default-sink squeak_out
  pactl set-default-source squeak_in.monitor
  parec --raw --format=s16le --rate=44100 --channels=2 --device=squeak_rig.monitor \
    --latency-msec=10 </dev/null >/dev/null 2>&1 &
  echo $! >>"$1"
  sleep 0.3
  pacat --playback --raw --format=s16le --rate=44100 --channels=1 --device=squeak_in \
    --latency-msec=10 /dev/zero </dev/null >/dev/null 2>&1 &
  echo $! >>"$1"
  sleep 0.3
}

# rig_stop_restarted FILE: ends what the restart script started, the last
# first, each by its own id.
rig_stop_restarted() {
  local pid
  [ -f "$1" ] || return 0
  tac "$1" | while read -r pid; do kill "$pid" 2>/dev/null || true; done
}

# Runs the command and ends the script with its status (the caller's exit
# trap then stops the server).
rig_run() {
  set +e
  "$@"
  local status=$?
  set -e
  exit "$status"
}
