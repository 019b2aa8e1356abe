#!/usr/bin/env bash
# The build ./run.sh makes: a fresh build folder, only the helper's target. What
# the helper needs when it runs must come with it.
#   helper_target_test.sh SOURCE-FOLDER
set -euo pipefail
src=$1
work=$(mktemp -d /tmp/nivra-helper-target-XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DNIVRA_BENCH=OFF >/dev/null
cmake --build "$work" -j"$(nproc)" --target nivra-wine-helper >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
missing=0
for need in bin/nivra-wine-helper bin/nivra-wine-internal bin/nivra-wine-start \
  share/locale/en/LC_MESSAGES/nivra-wine-helper.mo share/locale/zh/LC_MESSAGES/nivra-wine-helper.mo \
  desktop/icons/hicolor/48x48/apps/wineconfig.png; do
  [ -s "$work/stage/$need" ] || { echo "the helper's target left out stage/$need"; missing=1; }
done
[ -x "$work/stage/bin/nivra-wine-internal" ] || { echo "the launcher cannot be run"; missing=1; }
exit $missing
