#!/usr/bin/env bash
# Archive benchmark: the archive of a debug run's logs (redacted copies and system.txt in one
# .tar.xz) against `tar -cJ` of the same log files at the same xz level, side by side.
#   bench/archive/run.sh [MiB] [rounds]        (default 200 MiB, 3 rounds)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$src/build-bench}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target archive_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/var/tmp}/nivra-archive-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench-bin/archive_bench" "$work" "${1:-200}" "${2:-3}"
