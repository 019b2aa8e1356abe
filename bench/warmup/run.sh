#!/usr/bin/env bash
# Enter on the helper's window, after the window has been read for 3 s, to
# the program's first window, against a cold `wine PROGRAM` on the same fresh
# prefix copy, taking turns, on Xvfb: notepad, and notepad from syswow64 (a
# 32-bit program) where the kernel runs 32-bit programs. As root or with
# `sudo` (it installs what the test command installs).
#   bench/warmup/run.sh [rounds]   (default 7)
set -euo pipefail
. "$(dirname "$0")/../wine_setup.sh" warmup warmup_bench bench_confirm_driver
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
