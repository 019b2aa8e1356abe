#!/usr/bin/env bash
# Enter on the helper's window, after the window has been read for 3 s, to
# the program's first window, against a cold `wine PROGRAM` on the same fresh
# prefix copy, taking turns, on Xvfb: notepad, and notepad from syswow64 (a
# 32-bit program) where the kernel runs 32-bit programs. As root or with
# `sudo` (it installs what the test command installs).
#   bench/warmup/run.sh [rounds]   (default 7)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$src/build-bench}

"$src/scripts/install-deps.sh"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target warmup_bench bench_confirm_driver >/dev/null

work=$(mktemp -d "${TMPDIR:-/var/tmp}/nivra-warmup-bench-XXXXXX")
export HOME=$work/home WINE_APP=$(command -v wine)
cleanup() {
  for p in "$work/template" "$work/prefix"; do
    WINEPREFIX=$p wineserver -k 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$HOME/.config/nivra-wine"
echo "making the template prefix"
# No Mono or Gecko installers while the prefix is made.
WINEPREFIX=$work/template WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wineboot -i >/dev/null 2>&1
WINEPREFIX=$work/template wineserver -w
programs=(notepad.exe)
if bash "$src/scripts/probe-32bit.sh" && [ -e "$work/template/drive_c/windows/syswow64/notepad.exe" ]; then
  programs+=('C:\windows\syswow64\notepad.exe')
else
  echo "this kernel runs no 32-bit programs: notepad alone"
fi
# The window titled as the sources write it, whatever the machine's language.
env -u LANGUAGE LC_ALL=C.UTF-8 NO_AT_BRIDGE=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/bench-bin/warmup_bench" "$work" "$work/template" \
  "$build/bench-stage/bin/bench_confirm_driver" "${1:-7}" "Untitled - Notepad" "${programs[@]}"
