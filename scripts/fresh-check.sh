#!/usr/bin/env bash
# Runs the README's two commands, ./run.sh and ./test.sh, on a fresh Debian
# bookworm root built with debootstrap, the way a new user's machine or a CI
# runner without systemd has it: no systemd, no logind, no session bus, no
# sound card, nothing installed beyond the minimal base.
#   scripts/fresh-check.sh [--prepare] [--keep] [ROOT]
# ROOT (default: $TMPDIR/squeakbox-fresh-bookworm) is built when it is missing
# and reused as it stands otherwise. --prepare only builds it (to run the check
# later); --keep leaves what the check installed in it, so a second check skips
# the downloads but is no longer fresh. The tree is copied in as it stands in
# this checkout (tracked and new files, no build folders). Needs root,
# debootstrap and the network; arguments after ROOT go to ./test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD

prepare=0
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --prepare) prepare=1 ;;
    --keep) keep=1 ;;
    -h | --help)
      sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    -*)
      echo "fresh-check.sh: unknown option $1 (see --help)" >&2
      exit 2
      ;;
    *) break ;;
  esac
  shift
done
root=${1:-${TMPDIR:-/tmp}/squeakbox-fresh-bookworm}
[ $# -gt 0 ] && shift
mirror=${SQUEAKBOX_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check.sh: building and entering a root needs root; run it with sudo" >&2
  exit 1
fi
for tool in debootstrap chroot mount; do
  if ! command -v "$tool" >/dev/null; then
    echo "fresh-check.sh: $tool is missing; apt-get install debootstrap" >&2
    exit 1
  fi
done

if [ ! -x "$root/usr/bin/apt-get" ]; then
  echo "Building a minimal bookworm root in $root (a few minutes)..."
  rm -rf "$root"
  debootstrap --variant=minbase bookworm "$root" "$mirror"
  # What a fresh machine brings that minbase leaves out: the tools the
  # README's commands take for granted (git is not one of them).
  chroot "$root" apt-get install -y -qq --no-install-recommends sudo ca-certificates
  # Installing packages in the root must not start their services.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  echo "The root is ready: $root"
fi
if [ "$prepare" -eq 1 ]; then exit 0; fi

# A copy of the root for this check, so every check starts as fresh as the
# first; --keep runs in the root itself.
work=$root
if [ "$keep" -eq 0 ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-fresh-run.XXXXXX")
  cp -a "$root/." "$work/"
fi
mounted=()
finish() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  # The copy goes only once nothing of the host is mounted in it any more.
  if [ "$work" != "$root" ]; then
    if grep -q " $work/" /proc/mounts; then
      echo "fresh-check.sh: $work still has mounts; left in place" >&2
    else
      rm -rf --one-file-system "$work"
    fi
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM
mount_in() { # mount_in TARGET MOUNT-ARGUMENTS...
  local target=$work$1
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --rbind /dev
mount --make-rslave "$work/dev"
# An empty /run and /tmp: no systemd, no logind, no session bus left by the host.
mount_in /run -t tmpfs tmpfs
mount_in /tmp -t tmpfs tmpfs
cp -L /etc/resolv.conf "$work/etc/resolv.conf"

echo "Copying the tree into the root..."
mkdir -p "$work/home/squeakbox"
git -C "$tree" ls-files -z --cached --others --exclude-standard |
  tar -C "$tree" --null -T - -cf - | tar -C "$work/home/squeakbox" -xf -

start=$(date +%s)
status=0
# The commands as the README gives them, without a display or a sound card.
chroot "$work" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
  bash -c 'set -e; cd /home/squeakbox; ./run.sh; ./test.sh "$@"' fresh-check "$@" || status=$?
minutes=$(( ($(date +%s) - start + 59) / 60 ))
if [ "$status" -eq 0 ]; then
  echo "fresh-check.sh: ./run.sh and ./test.sh passed on a fresh bookworm root in about $minutes min"
else
  echo "fresh-check.sh: failed with status $status after about $minutes min" >&2
fi
exit "$status"
