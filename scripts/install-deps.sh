#!/usr/bin/env bash
# Installs the Debian packages that Squeakbox needs for a job, but only those missing.
#   scripts/install-deps.sh build   what building and running the program needs
#   scripts/install-deps.sh test    that, plus the test and benchmark tools
#   scripts/install-deps.sh package what building the Debian package needs
#   scripts/install-deps.sh package-check   that, plus what checks the package
#   scripts/install-deps.sh bench   the test tools, plus what bench/natural_voice.py
#                                   uses (numpy, and Praat to track the pitch)
set -euo pipefail

job=${1:-build}
packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-tools-dev qt6-l10n-tools
          portaudio19-dev libsndfile1-dev libasound2-dev libpulse-dev xdg-utils)
case "$job" in
  test) packages+=(man-db) ;;  # the manual pages are rendered in the tests
  package) packages+=(dpkg-dev file) ;;
  package-check) packages+=(dpkg-dev file lintian man-db) ;;
esac
if [ "$job" = bench ]; then
  packages+=(python3-numpy praat)
  job=test
fi
if [ "$job" = test ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev sox time espeak-ng pulseaudio
             pulseaudio-utils libasound2-plugins pipewire pipewire-pulse wireplumber dbus-daemon
             xvfb xauth clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The sound-server tests run on PulseAudio and on PipeWire, one after the
# other. Debian lets both be installed, but installing one set of packages can
# take the other away: the test job checks that both are still there.
check_servers() {
  [ "$job" = test ] || return 0
  local gone=()
  for server in pulseaudio pipewire-pulse; do
    command -v "$server" >/dev/null || gone+=("$server")
  done
  if [ ${#gone[@]} -gt 0 ]; then
    echo "The sound-server tests need both PulseAudio and PipeWire; missing now: ${gone[*]}." >&2
    echo "Install them side by side: apt-get install --no-install-recommends pulseaudio pipewire-pulse" >&2
    exit 1
  fi
}
if [ ${#missing[@]} -eq 0 ]; then
  check_servers
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Squeakbox needs these Debian packages: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "Installing the packages Squeakbox needs: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
check_servers
