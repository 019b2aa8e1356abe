#!/usr/bin/env bash
# Builds the Debian package of the install layout (/opt/nivra-wine, with the
# desktop entry in /usr/share/applications). Prints the package's path.
#   scripts/make-deb.sh [build-folder]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-deb}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DNIVRA_DESKTOP_ENTRY_DIR=/usr/share/applications >/dev/null
cmake --build "$build" -j"$(nproc)" --target nivra-wine-helper >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/nivra-wine-helper_*.deb
