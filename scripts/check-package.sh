#!/usr/bin/env bash
# Builds the Debian package and tries it as a new user would: the distribution's
# checker, apt install, both programs and both manual pages, then removal, after
# which no Squeakbox file may remain. Needs root (or sudo): it installs and
# removes the package on this machine.
#   scripts/check-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
step_start=$(date +%s)
step() {
  local now
  now=$(date +%s)
  echo "== $* (at $((now - step_start)) s)"
}

step "tools and build dependencies"
scripts/install-deps.sh package-check
# A package left by an earlier run would hide what this one installs.
if dpkg-query -W -f='${Status}' squeakbox 2>/dev/null | grep -q "ok installed"; then
  "${as_root[@]}" apt-get purge -y -qq squeakbox
fi

step "building the package"
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=ccache
rm -f build-package/squeakbox_*.deb
cmake --preset package >/dev/null
cmake --build --preset package
cpack --preset package >/dev/null
debs=(build-package/squeakbox_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package, found: ${debs[*]}" >&2; exit 1; }
deb=$PWD/${debs[0]}
dpkg-deb --field "$deb"

step "lintian"
lintian --info --fail-on error "$deb"

step "installing with apt"
"${as_root[@]}" apt install -y -qq "$deb"
installed=$(dpkg-query -L squeakbox | grep -vx '/\.')
outside=$(grep -v '^/usr\(/\|$\)' <<<"$installed" || true)
[ -z "$outside" ] || { echo "files outside /usr: $outside" >&2; exit 1; }
for program in squeakbox squeakbox-render; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || {
    echo "$program is not the installed /usr/bin/$program" >&2
    exit 1
  }
done
squeakbox-render --version
squeakbox --version
out=$(mktemp --suffix=.wav)
squeakbox-render -q resources/samples/speech.wav "$out"
[ -s "$out" ] || { echo "squeakbox-render wrote nothing" >&2; exit 1; }
rm -f "$out"

step "manual pages"
for page in squeakbox squeakbox-render; do
  file=/usr/share/man/man1/$page.1.gz
  [ "$(man -w "$page")" = "$file" ] || { echo "man does not find $file" >&2; exit 1; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$file: $warnings" >&2; exit 1; }
  echo "$file renders without warnings"
done

step "removing the package"
"${as_root[@]}" apt-get purge -y -qq squeakbox
left=()
while IFS= read -r path; do
  # Shared folders (/usr/bin, the icon theme's) stay; ours must go.
  if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == *squeakbox* ]]; }; then
    left+=("$path")
  fi
done <<<"$installed"
while IFS= read -r path; do left+=("$path"); done < <(
  find /usr /etc /var/lib/dpkg/info -path /usr/local -prune -o -iname '*squeakbox*' -print 2>/dev/null)
[ ${#left[@]} -eq 0 ] || { printf 'left behind: %s\n' "${left[@]}" >&2; exit 1; }
echo "nothing of the package remains"
step "package checked"
