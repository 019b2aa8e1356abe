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
# The helper records "不再提示" in this folder but, as the desktop's starter
# does, leaves making it to whoever starts it.
(umask 077 && mkdir -p -- "${HOME:?}/.config/nivra-wine")
if [ $# -eq 0 ]; then
  export WINEPREFIX="$PWD/$build/demo-prefix"
  if [ ! -f "$WINEPREFIX/user.reg" ]; then
    echo "making the demo prefix $WINEPREFIX (once)"
    WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wineboot -i
    wineserver -w
  elif [ -x /usr/lib/wine/wine ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    # Made before wine32 was installed: wine's 32-bit loader starts nothing in
    # it until an update adds that half, and the timestamp would skip the update.
    echo "adding 32-bit Windows to the demo prefix $WINEPREFIX (once)"
    rm -f "$WINEPREFIX/.update-timestamp"
    WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wineboot -u
    wineserver -w
  fi
  set -- notepad.exe
fi
exec "$helper" "$@"
