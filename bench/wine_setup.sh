# Set-up shared by the benchmarks that run real Wine, sourced by their run.sh:
# installs what the test command installs, builds the targets named, and makes
# a work folder with a HOME of its own and a template prefix ($work/template,
# which the rounds copy). At the end the servers of $work/template and
# $work/prefix are stopped and the folder is removed. Sets src, build and work.
#   . bench/wine_setup.sh NAME TARGET...
bench_name=$1
shift
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench}

"$src/scripts/install-deps.sh"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$@" >/dev/null

work=$(mktemp -d "${TMPDIR:-/var/tmp}/nivra-$bench_name-bench-XXXXXX")
export HOME=$work/home WINE_APP=$(command -v wine)
cleanup() {
  for p in "$work/template" "$work/prefix"; do
    WINEPREFIX=$p wineserver -k 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$HOME/.config/nivra-wine"
echo "making the template prefix"
# No Mono or Gecko installers while the prefix is made.
WINEPREFIX=$work/template WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wineboot -i >/dev/null 2>&1
WINEPREFIX=$work/template wineserver -w
