#!/usr/bin/env bash
# Capture benchmark: Wine-relay-like output through a captured run (direct, with 1 and
# with 4 writer threads) into five 50 MB log files, against `cat > file` and
# `multilog t` on the same input.
#   bench/capture/run.sh [MiB] [rounds]        (default 200 MiB, 3 rounds)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$src/build-bench}

if ! command -v multilog >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q daemontools >/dev/null ||
    echo "daemontools could not be installed; multilog is left out" >&2
fi

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target capture_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/var/tmp}/nivra-capture-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench-bin/capture_bench" "$work" "${1:-200}" "${2:-3}"
