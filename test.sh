#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test (GUI tests on Xvfb).
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DNIVRA_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# Tests never touch the real home; Wine looks for its settings there.
export HOME=$(mktemp -d /tmp/nivra-home-XXXXXX)
trap 'rm -rf "$HOME"' EXIT

xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir "$build" --output-on-failure --timeout 600
