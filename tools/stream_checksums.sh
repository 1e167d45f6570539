#!/usr/bin/env bash
# Builds tools/stream_checksums.cpp against the engine of a commit and prints
# its checksum tables (see the test that holds them for the commit they were
# recorded from):
#   tools/stream_checksums.sh [COMMIT]     (default: HEAD)
set -euo pipefail
cd "$(dirname "$0")/.."
commit=${1:-HEAD}
work=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-checksums.XXXXXX")
trap 'rm -rf "$work"' EXIT
git archive "$commit" engine CMakeLists.txt | tar -C "$work" -xf -
# Only the engine: its own CMake file, with the warnings target the project
# gives it.
cat >"$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(stream_checksums CXX)
set(CMAKE_CXX_STANDARD 20)
add_library(squeakbox_warnings INTERFACE)
add_subdirectory(engine)
CMAKE
cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/build" --target squeakbox_engine >/dev/null
"${CXX:-c++}" -std=c++20 -O2 -I "$work" -I . tools/stream_checksums.cpp \
  "$work/build/engine/libsqueakbox_engine.a" -o "$work/stream_checksums"
"$work/stream_checksums"
