#!/usr/bin/env bash
# Takes the documentation's pictures (docs/main-window.png, docs/debug-dialog.png,
# docs/close-programs-dialog.png, docs/debug-archive.png, docs/debug-run.png, and the same in
# English, docs/*-en.png)
# from the real program on Xvfb, with GTK's stock theme and a clean home, and the main window once
# more on a desktop that scales by two (docs/main-window-hidpi.png), and under weston at scale 2
# (docs/main-window-weston.png). The archive box follows a logged run of a plain echo. For the
# question to close programs, two stand-ins
# for Windows programs run in the prefix: copies of the tests' hold_files named ntdll.dll (mapped,
# as Wine's processes map it), whose command lines begin with Windows paths, as Wine's do.
#   tools/screenshots.sh [build-folder]      (default: build, configured by ./test.sh or cmake)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target screenshot hold_files archive_driver >/dev/null

tmp=$(mktemp -d /tmp/nivra-shots-XXXXXX)
programs=()
trap 'kill "${programs[@]}" 2>/dev/null; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home/.config/nivra-wine" "$tmp/prefix"
printf '[Control Panel\\\\Desktop] 1\n"LogPixels"=dword:00000090\n' >"$tmp/prefix/user.reg"
cp "$build/tests-bin/hold_files" "$tmp/ntdll.dll"
# A process is the prefix's when it maps a file of the prefix's server folder, named after the
# prefix folder's device and inode, as every client of Wine's server does.
read -r dev ino < <(stat -c '%d %i' "$tmp/prefix")
server="$tmp/$(printf 'server-%x-%x' "$dev" "$ino")"
mkdir "$server" && printf x >"$server/tmpmap-1"
for name in 'C:\Program Files\Foxglove Reader\FoxgloveReader.exe' 'C:\windows\system32\notepad.exe'; do
  (exec -a "$name" "$tmp/ntdll.dll" "$tmp/prefix" - "$server/tmpmap-1" >/dev/null) &
  programs+=($!)
done

# Chinese as the sources write it, and English from the build tree's catalogue.
for shot in "C.UTF-8 " "en_US.UTF-8 -en"; do
  read -r locale suffix <<<"$shot"
  env -i PATH="$PATH" LANG="$locale" HOME="$tmp/home" WINEPREFIX="$tmp/prefix" \
    WINE_APP="$(command -v wine)" NO_AT_BRIDGE=1 NIVRA_SHOT_MAIN="$PWD/docs/main-window$suffix.png" \
    NIVRA_SHOT_DEBUG="$PWD/docs/debug-dialog$suffix.png" \
    NIVRA_SHOT_CLOSE="$PWD/docs/close-programs-dialog$suffix.png" \
    timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests-bin/screenshot" \
    'C:\Program Files\Foxglove Reader\FoxgloveReader.exe' >/dev/null
done
# The box at the end of a logged debug run that offers the archive.
for shot in "C.UTF-8 logs" "en_US.UTF-8 -en logs-en"; do
  read -r locale suffix logs <<<"$shot"
  [ -n "$logs" ] || logs=$suffix suffix=
  mkdir -p "$tmp/home/$logs"
  env -i PATH="$PATH" LANG="$locale" HOME="$tmp/home" WINEPREFIX="$tmp/prefix" \
    WINE_APP="$(command -v wine)" NO_AT_BRIDGE=1 NIVRA_DRIVE_LOG="$tmp/home/$logs/reader.log" \
    NIVRA_DRIVE_CMDLINE="echo reader started" NIVRA_DRIVE_ARCHIVE=不用 \
    NIVRA_SHOT_ARCHIVE="$PWD/docs/debug-archive$suffix.png" \
    timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests-bin/archive_driver" \
    'C:\Program Files\Foxglove Reader\FoxgloveReader.exe' >/dev/null 2>&1
done
# The debug dialog while a logged run goes on, just before "停止".
for shot in "C.UTF-8 run" "en_US.UTF-8 -en run-en"; do
  read -r locale suffix logs <<<"$shot"
  [ -n "$logs" ] || logs=$suffix suffix=
  mkdir -p "$tmp/home/$logs"
  env -i PATH="$PATH" LANG="$locale" HOME="$tmp/home" WINEPREFIX="$tmp/prefix" \
    WINE_APP="$(command -v wine)" NO_AT_BRIDGE=1 NIVRA_DRIVE_LOG="$tmp/home/$logs/reader.log" \
    NIVRA_DRIVE_CMDLINE='for i in $(seq 1 40); do seq 1 100; sleep 0.05; done; sleep 30' \
    NIVRA_DRIVE_STOP=button NIVRA_DRIVE_STOP_LINES=4000 NIVRA_DRIVE_ARCHIVE=不用 \
    NIVRA_SHOT_RUN="$PWD/docs/debug-run$suffix.png" \
    timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests-bin/archive_driver" \
    'C:\Program Files\Foxglove Reader\FoxgloveReader.exe' >/dev/null 2>&1
done
# The DPI row's suggestion, on a desktop that scales by two.
env -i PATH="$PATH" LANG=C.UTF-8 HOME="$tmp/home" WINEPREFIX="$tmp/prefix" \
  WINE_APP="$(command -v wine)" NO_AT_BRIDGE=1 GDK_SCALE=2 \
  NIVRA_SHOT_MAIN="$PWD/docs/main-window-hidpi.png" \
  timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests-bin/screenshot" \
  'C:\Program Files\Foxglove Reader\FoxgloveReader.exe' >/dev/null
# The same window as weston draws it at scale 2, the helper a Wayland client, taken with weston's
# own screenshooter.
/usr/bin/python3 tools/weston_screenshot.py "$build/stage/bin/nivra-wine-helper" \
  docs/main-window-weston.png >/dev/null
echo "docs/main-window.png, docs/debug-dialog.png, docs/close-programs-dialog.png," \
  "docs/debug-archive.png, docs/debug-run.png, their English twins (-en), docs/main-window-hidpi.png and" \
  "docs/main-window-weston.png redrawn"
