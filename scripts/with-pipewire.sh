#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Runs a command beside a private PipeWire server with its PulseAudio
# protocol (pipewire + wireplumber + pipewire-pulse, on a session bus of its
# own), with the same test rig as scripts/with-pulse.sh (scripts/sound-rig.sh):
# squeak_in and squeak_out are the left and right channels of the null sink
# squeak_rig, so one recording of squeak_rig.monitor holds what went in and
# what came out on one clock. The graph runs at 44.1 kHz, so the samples pass
# through unchanged. WirePlumber runs on a set-up of its own (below) that needs
# no logind, no sound card and no Bluetooth, so the rig works the same on a
# desktop, in a container and on a build machine without systemd.
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
  rig_stop_restarted "$runtime/restarted"
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

# WirePlumber's packaged set-up watches the seat through logind (for
# Bluetooth) and exits without it; it also probes sound cards, cameras and
# Bluetooth, which the rig has no use for. The private set-up loads only what
# the rig needs: the default metadata and the default-node policy (so
# `pactl set-default-sink` works), client access, and the policy that links
# streams to the null sinks. It is written for WirePlumber 0.4's Lua set-up.
wireplumber_version=$(wireplumber --version 2>/dev/null | sed -n 's/^Linked with libwireplumber //p')
case "$wireplumber_version" in
  0.4.*) ;;
  *)
    echo "with-pipewire.sh: WirePlumber 0.4 is needed for the private set-up; found '${wireplumber_version:-none}'" >&2
    exit 1
    ;;
esac
wireplumber_scripts=/usr/share/wireplumber/scripts
for script in access/access-default.lua create-item.lua policy-node.lua; do
  if [ ! -f "$wireplumber_scripts/$script" ]; then
    echo "with-pipewire.sh: WirePlumber's script $wireplumber_scripts/$script is missing; reinstall wireplumber" >&2
    exit 1
  fi
done
mkdir -p "$XDG_CONFIG_HOME/wireplumber/squeakbox-rig.lua.d"
cat >"$XDG_CONFIG_HOME/wireplumber/squeakbox-rig.conf" <<'CONF'
context.properties = {
    log.level = 2
    wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-session-manager }
]
wireplumber.components = [
    { name = libwireplumber-module-lua-scripting, type = module }
    { name = squeakbox-rig.lua, type = config/lua }
]
CONF
cat >"$XDG_CONFIG_HOME/wireplumber/squeakbox-rig.lua.d/10-rig.lua" <<'LUA'
components = {}
local function module(name, args)
  components[name] = { "libwireplumber-module-" .. name, type = "module", args = args }
end
local function script(name, args)
  components[name] = { name, type = "script/lua", args = args }
end
local policy = { ["move"] = true, ["follow"] = true,
                 ["filter.forward-format"] = false, ["audio.no-dsp"] = false }
-- The "default" metadata, where the default sink and source are kept.
module("metadata")
script("access/access-default.lua", { rules = {} })
-- Chooses the default nodes and follows `pactl set-default-*`; nothing is kept
-- on disk, every run starts from the rig alone.
module("default-nodes", { ["use-persistent-storage"] = false })
module("si-node")
module("si-audio-adapter")
module("si-standard-link")
module("si-audio-endpoint")
module("default-nodes-api")
script("create-item.lua", policy)
script("policy-node.lua", policy)
LUA
export WIREPLUMBER_CONFIG_DIR="$XDG_CONFIG_HOME/wireplumber"

dbus-daemon --session --fork --address="unix:path=$runtime/bus" --print-pid=3 3>"$runtime/bus.pid"
bus_pid=$(cat "$runtime/bus.pid")
export DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"

pipewire </dev/null >"$runtime/pipewire.log" 2>&1 &
rig_processes+=($!)
pipewire_pid=$!
for _ in $(seq 50); do [ -S "$runtime/pipewire-0" ] && break; sleep 0.1; done
wireplumber --config-file=squeakbox-rig.conf </dev/null >"$runtime/wireplumber.log" 2>&1 &
rig_processes+=($!)
wireplumber_pid=$!
pipewire-pulse </dev/null >"$runtime/pipewire-pulse.log" 2>&1 &
rig_processes+=($!)
# What a test kills to take the server away, and runs to start it again: the
# same three servers (WirePlumber does not outlive PipeWire) with the same
# rig, stopped with it.
export SQUEAKBOX_SERVER_PIDS="$! $pipewire_pid"
restart="$runtime/restart-server"
{
  printf '#!/usr/bin/env bash\nset -eu\n. %q\n' "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/sound-rig.sh"
  for variable in HOME XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME \
    WIREPLUMBER_CONFIG_DIR DBUS_SESSION_BUS_ADDRESS; do
    printf 'export %s=%q\n' "$variable" "${!variable}"
  done
  printf 'export PULSE_SERVER=%q\n' "unix:$runtime/pulse/native"
  printf 'kill %q 2>/dev/null || true\n' "$wireplumber_pid"
  printf 'pipewire </dev/null >>%q 2>&1 &\necho $! >>%q\n' "$runtime/pipewire.log" "$runtime/restarted"
  printf 'for _ in $(seq 50); do [ -S %q ] && break; sleep 0.05; done\n' "$runtime/pipewire-0"
  printf 'wireplumber --config-file=squeakbox-rig.conf </dev/null >>%q 2>&1 &\necho $! >>%q\n' \
    "$runtime/wireplumber.log" "$runtime/restarted"
  printf 'pipewire-pulse </dev/null >>%q 2>&1 &\necho $! >>%q\n' "$runtime/pipewire-pulse.log" \
    "$runtime/restarted"
  printf 'rig_restart_helpers %q load\n' "$runtime/restarted"
} >"$restart"
chmod +x "$restart"
export SQUEAKBOX_SERVER_RESTART="$restart"

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
# Without a session manager the server takes no default sink and links no
# stream: say so here rather than through a test's "Not supported".
if ! kill -0 "$wireplumber_pid" 2>/dev/null; then
  wait "$wireplumber_pid" && status=0 || status=$?
  echo "with-pipewire.sh: WirePlumber stopped (status $status) on the private set-up:" >&2
  tail -n 20 "$runtime/wireplumber.log" >&2 || true
  exit 1
fi
if ! pactl set-default-sink squeak_out 2>"$runtime/pactl.err"; then
  echo "with-pipewire.sh: WirePlumber does not set the default sink ($(cat "$runtime/pactl.err")):" >&2
  tail -n 20 "$runtime/wireplumber.log" >&2 || true
  exit 1
fi
rig_start_helpers
export SQUEAKBOX_SOUND_SERVER=pipewire
rig_run "$@"
