#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the whole suite in a
# debug build and again under AddressSanitizer with UndefinedBehaviorSanitizer,
# the threaded tests under ThreadSanitizer, and the fuzz targets for a bounded
# time. GUI tests run on Xvfb. Any failure or sanitizer report fails the run.
#   ./test.sh            everything
#   ./test.sh quick      the debug build only
set -euo pipefail
cd "$(dirname "$0")"
src=$PWD
mode=${1:-all}

./scripts/install-deps.sh

# Tests never touch the real home; Wine and log4c look for settings there.
export HOME=$(mktemp -d /tmp/nivra-home-XXXXXX)
trap 'rm -rf "$HOME"' EXIT

jobs=$(nproc)
xvfb() { xvfb-run -a -s "-screen 0 1280x1024x24" "$@"; }

build() { # folder, cmake options...
  local dir=$1; shift
  cmake -S "$src" -B "$dir" -DNIVRA_WERROR=ON -DNIVRA_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== debug build: every test"
build build -DCMAKE_BUILD_TYPE=Debug
xvfb ctest --test-dir build --output-on-failure --timeout 900
[ "$mode" = quick ] && exit 0

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DNIVRA_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
LSAN_OPTIONS=suppressions=$src/tests/sanitizer/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  xvfb ctest --test-dir build-asan --output-on-failure --timeout 900 -LE 'package|build'

echo "== ThreadSanitizer: the queue and capture tests"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DNIVRA_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure --timeout 900 -R '^unit\.(LogQueue|ReadLoop|DebugRun|ProcessDebugLog|Modes/Lossless|LogSink|SizewinPolicy|Writers/LogFaults|LogFolderRemoved|VersionQuery|ToolButtonTest)'

if [ -x fuzz/run.sh ]; then
  echo "== fuzz targets"
  fuzz/run.sh
fi
