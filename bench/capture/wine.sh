#!/usr/bin/env bash
# Real Wine benchmark: a +relay run of `cmd /c` through `2>&1 | cat > file`, through
# captured runs (direct, 1 and 4 writer threads, and without a log sink) and thrown
# away to /dev/null, each run from a fresh copy of a prefix made once here and timed
# until Wine's last process has ended, the modes taking turns.
#   bench/capture/wine.sh [rounds] [count] [modes] [channels]
#     (default 5 rounds, count 300, every mode, the "崩溃信息" channels)
#   bench/capture/wine.sh 5 300 null,discard,shm,direct,4 +relay   against the trace thrown away
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$src/build-bench}

"$src/scripts/install-deps.sh"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target wine_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/var/tmp}/nivra-wine-bench-XXXXXX")
export HOME=$work/home WINEPREFIX=$work/template
cleanup() {
  WINEPREFIX=$work/template wineserver -k 2>/dev/null || true
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$HOME"
echo "making the template prefix"
# No Mono or Gecko installers while the prefix is made; the timed runs start
# Wine as a user would, without overrides.
WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wineboot -i >/dev/null 2>&1
wineserver -w
"$build/bench-bin/wine_bench" "$work" "$WINEPREFIX" "${1:-5}" "${2:-300}" "${3:-}" ${4:+"$4"}
