#!/usr/bin/env bash
# Cost per start of the launcher nivra-wine-internal, side by side with
# Debian's /usr/bin/wine and the loader it runs, each asked `--version` (Wine's
# cheapest start: the loader prints its version and exits), with hyperfine.
#   bench/launcher/run.sh [runs]
# As root (or with sudo) it also times the two other cases in a private mount
# namespace: the 32-bit loader refused by the kernel (an executable it cannot
# run mounted over /usr/lib/wine/wine, which gives "Exec format error" just as
# a kernel without 32-bit emulation does) and the 32-bit loader absent (a file
# without the exec bit mounted there). It installs hyperfine when missing.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$src/build-bench
runs=${1:-300}
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
command -v hyperfine >/dev/null ||
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -q hyperfine >/dev/null
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target nivra-wine-internal >/dev/null
launcher=$build/stage/bin/nivra-wine-internal

work=$(mktemp -d /tmp/nivra-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '\x7fELF\x09 not a program' >"$work/refused"
cp "$work/refused" "$work/absent"
chmod 755 "$work/refused"
chmod 644 "$work/absent"

# WINEDEBUG=-all: without wine32, wine's hint runs dpkg twice, which would
# swamp what is measured here.
bench() { # title, then name=command pairs; prints each one's median and minimum
  echo "== $1"
  shift
  local args=()
  for pair in "$@"; do args+=(-n "${pair%%=*}" "${pair#*=}"); done
  WINEDEBUG=-all hyperfine -N -w 20 -r "$runs" --style none --export-json "$work/times.json" \
    "${args[@]}" >/dev/null 2>&1
  python3 -c 'import json, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print("%-9s median %6.2f ms   min %6.2f ms   mean %6.2f ms" % (r["command"],
          1000 * r["median"], 1000 * r["min"], 1000 * r["mean"]))' "$work/times.json"
}
export -f bench
export runs launcher work

bench "32-bit loader runs (this machine)" \
  "wine=/usr/bin/wine --version" "launcher=$launcher --version" \
  "loader=/usr/lib/wine/wine --version"
if [ -x /usr/lib/wine/wine ] && { [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; }; then
  "${sudo_cmd[@]}" unshare -m bash -c '
    mount --bind "$work/refused" /usr/lib/wine/wine
    bench "32-bit loader refused by the kernel" \
      "launcher=$launcher --version" "loader64=/usr/lib/wine/wine64 --version"
    mount --bind "$work/absent" /usr/lib/wine/wine
    bench "32-bit loader absent" \
      "wine=/usr/bin/wine --version" "launcher=$launcher --version"'
fi
