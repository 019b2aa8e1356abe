#!/usr/bin/env bash
# Start-up benchmark, side by side on Xvfb: the helper against the floor (a
# minimal GTK 3 program that runs `wine --version` once and maps one empty
# window), and against the helper's own window built inside that plain
# start-up, which tells the window's cost apart from the helper's start-up.
#   bench/startup/run.sh [rounds]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$src/build-bench
rounds=${1:-30}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target nivra-wine-helper floor_window same_window time_to_map >/dev/null

home=$(mktemp -d /tmp/nivra-bench-XXXXXX)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/prefix"
printf '[Control Panel\\\\Desktop] 1\n"LogPixels"=dword:00000060\n' >"$home/prefix/user.reg"

# The window titled as the sources write it, whatever the machine's language.
env -u LANGUAGE LC_ALL=C.UTF-8 HOME=$home WINEPREFIX=$home/prefix WINE_APP=$(command -v wine) \
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/bench-bin/time_to_map" "$rounds" \
  floor floor -- "$build/bench-bin/floor_window" floor -- \
  same-window "wine辅助程序" -- "$build/bench-stage/bin/same_window" -- \
  helper "wine辅助程序" -- "$build/stage/bin/nivra-wine-helper" notepad.exe 2>/dev/null | grep -v '^it looks\|^multiarch\|^execute\|^apt-get'
