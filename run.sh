#!/usr/bin/env bash
# Installs what is needed, builds, and starts the helper for a Windows program:
#   ./run.sh [windows-program [args...]]
# Without arguments a demo prefix is made under the build folder and Wine's
# own notepad.exe is offered.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target nivra-wine-helper

helper="$build/stage/bin/nivra-wine-helper"
if [ $# -eq 0 ]; then
  export WINEPREFIX="$PWD/$build/demo-prefix"
  if [ ! -f "$WINEPREFIX/user.reg" ]; then
    echo "making the demo prefix $WINEPREFIX (once)"
    WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wineboot -i
    wineserver -w
  fi
  set -- notepad.exe
fi
exec "$helper" "$@"
