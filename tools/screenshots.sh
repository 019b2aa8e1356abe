#!/usr/bin/env bash
# Takes the README's pictures (docs/main-window.png, docs/debug-dialog.png) from the real
# program on Xvfb, with GTK's stock theme and a clean home:
#   tools/screenshots.sh [build-folder]      (default: build, configured by ./test.sh or cmake)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target screenshot >/dev/null

tmp=$(mktemp -d /tmp/nivra-shots-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home" "$tmp/prefix"
printf '[Control Panel\\\\Desktop] 1\n"LogPixels"=dword:00000090\n' >"$tmp/prefix/user.reg"

env -i PATH="$PATH" LANG=C.UTF-8 HOME="$tmp/home" WINEPREFIX="$tmp/prefix" WINE_APP="$(command -v wine)" \
  NO_AT_BRIDGE=1 NIVRA_SHOT_MAIN="$PWD/docs/main-window.png" \
  NIVRA_SHOT_DEBUG="$PWD/docs/debug-dialog.png" \
  timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests-bin/screenshot" \
  'C:\Program Files\Foxglove Reader\FoxgloveReader.exe' >/dev/null
echo "docs/main-window.png and docs/debug-dialog.png redrawn"
