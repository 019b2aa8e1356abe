#!/usr/bin/env bash
# Stopping a prefix's processes with real Wine: a prefix made once here, copied
# fresh for every round with and without FILES files under
# "drive_c/Program Files", cmd.exe running in it. Times finding the processes
# (this helper against `lsof -t +D`, which the script installs when missing)
# and the DPI change through the real window, from the click on "确定" to the
# helper's exit, on Xvfb. Then the DPI change on a fresh copy with nothing
# running against a cold `wine reg add` on another copy, taking turns; and the
# DPI change with notepad asking to save against Wine's own
# `wineboot --end-session`, answered the same way.
#   bench/kill_prefix/run.sh [rounds] [files] [dpi-rounds] [close-rounds]
#     (default 5 rounds, 100000 files, 7 DPI rounds, 5 close rounds; 0 rounds:
#     the last two parts only)
set -euo pipefail
. "$(dirname "$0")/../wine_setup.sh" prefix prefix_bench bench_confirm_driver bench_xwin
if ! command -v lsof >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 \
    install -y -q lsof >/dev/null
fi
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/bench-bin/prefix_bench" "$work" "$work/template" \
  "$build/bench-stage/bin/bench_confirm_driver" "${1:-5}" "${2:-100000}" "${3:-7}" "${4:-5}"
