#!/usr/bin/env bash
# Builds the Debian package from a clean copy of the sources with
# dpkg-buildpackage, checks it with lintian, installs it with apt, runs the
# installed helper from PATH (it must find its launcher and its icon), checks
# the desktop entries and renders the manual pages, runs the package's own
# as-installed test (autopkgtest), then purges it and checks that none of its
# files are left.
# Installing needs root; without it the test stops after lintian (status 77).
#   package_test.sh SOURCE-DIR
set -euo pipefail
pkg=nivra-wine-helper

# On an X server of the test's own: the installed helper's window, titled TITLE
# under LOCALE, must have its icon. Prints the first line of the icon property.
if [ "${1:-}" = --window ]; then
  work=$2 locale=$3 title=$4
  env -u WINE_APP -u LANGUAGE LC_ALL="$locale" HOME="$work/home" WINEPREFIX="$work/prefix" \
    $pkg prog.exe >"$work/out" 2>"$work/err" &
  helper=$!
  trap 'kill $helper 2>/dev/null; wait $helper 2>/dev/null || true' EXIT
  for _ in $(seq 200); do
    id=$(xwininfo -root -tree | awk -v t="\"$title\": (\"nivra-wine-helper\"" 'index($0, t) { print $1; exit }')
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -z "$id" ] || xprop -id "$id" -notype _NET_WM_ICON | head -n 1
  exit 0
fi

src=$1
work=$(mktemp -d /tmp/nivra-pkg-XXXXXX)
installed=0
cleanup() {
  if [ $installed = 1 ]; then
    apt-get purge -y -q -o DPkg::Lock::Timeout=900 $pkg >/dev/null 2>&1 || true
  fi
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

# A clean copy: the files git knows (tracked, or new and not ignored), or,
# without git, everything but build folders.
mkdir "$work/src" "$work/home"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar -cf - --null -T -) | tar -xf - -C "$work/src"
else
  tar -C "$src" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$work/src"
fi
(cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
  >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; fail "dpkg-buildpackage"; }
deb=$(echo "$work"/${pkg}_*_"$(dpkg --print-architecture)".deb)

lint=$(lintian -I --fail-on error,warning "$work"/${pkg}_*.changes 2>&1) || fail "lintian: $lint"
lint=$(grep -v '^running with root privileges' <<<"$lint" || true)
echo "lintian: ${lint:-no tags}"

[ "$(id -u)" = 0 ] || { echo "not root: the package is not installed"; exit 77; }
# One run at a time on a machine: two would install and purge the same package.
exec 9>/tmp/nivra-package-test.lock
flock -w 900 9 || fail "another package test holds the lock"
if dpkg-query -W -f='${Status}' $pkg 2>/dev/null | grep -q 'ok installed'; then
  fail "$pkg is installed on this machine already; remove it first"
fi
installed=1
apt-get install -y -q -o DPkg::Lock::Timeout=900 --no-install-recommends "$deb" \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
dpkg -L $pkg >"$work/files"

for program in $pkg nivra-wine-start; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not on PATH as /usr/bin/$program"
done
# Chinese as the sources write it, and English from the installed catalogue.
for shown in "C.UTF-8 wine辅助程序" "en_US.UTF-8 Wine Helper"; do
  icon=$(xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --window "$work" "${shown%% *}" "${shown#* }")
  grep -q '^nivra-wine version: wine-' "$work/out" ||
    fail "the launcher did not answer: $(cat "$work/out" "$work/err")"
  [[ "$icon" == *"48 x 48"* ]] || fail "no window titled ${shown#* } with a 48x48 icon: '$icon'"
done
# The file manager opens programs through the starter; the menu turns the helper on again.
for entry in "$pkg %f" "$pkg-show-again --show-again"; do
  file=/usr/share/applications/${entry%% *}.desktop
  desktop-file-validate "$file" || fail "desktop entry $file"
  grep -qx "Exec=/usr/bin/nivra-wine-start ${entry#* }" "$file" || fail "$file: $(grep ^Exec= "$file")"
  icon=$(sed -n 's/^Icon=//p' "$file")
  for size in 16 22 24 32 48 64 128 256; do
    png=/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ] ||
      fail "the icon of $file is not in the hicolor theme at ${size}x${size}"
  done
  grep -q '<svg' "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ||
    fail "the icon of $file is not in the hicolor theme as scalable"
done
# A Windows program opens through the starter whichever name the system's file gives its
# type; types that other files share (old Office files are OLE storage) are not claimed.
types=$(sed -n 's/^MimeType=//p' /usr/share/applications/$pkg.desktop)
pe=$(find /usr/lib -name notepad.exe -path '*windows*' | head -n 1)
[[ ";$types" == *";$(file --mime-type -b "$pe");"* ]] ||
  fail "file calls $pe $(file --mime-type -b "$pe"), which the entry does not list: $types"
for generic in application/x-ole-storage application/octet-stream application/x-executable; do
  [[ ";$types" != *";$generic;"* ]] || fail "the entry claims $generic"
done
for page in $pkg nivra-wine-start; do
  for locale in C C.UTF-8; do
    LC_ALL=$locale MANWIDTH=80 man --warnings "$page" >/dev/null 2>"$work/man.err" || fail "man $page"
    [ ! -s "$work/man.err" ] || fail "man $page warnings ($locale): $(cat "$work/man.err")"
  done
done
# Against the package apt has just installed: given the .deb, autopkgtest would
# add an apt source of its own and run apt-get update on the machine.
autopkgtest --no-built-binaries "$work/src" -- null >"$work/autopkgtest.log" 2>&1 ||
  { tail -n 40 "$work/autopkgtest.log"; fail "autopkgtest"; }
grep -E '^smoke +PASS' "$work/autopkgtest.log" || fail "autopkgtest: $(tail -n 5 "$work/autopkgtest.log")"

apt-get purge -y -q -o DPkg::Lock::Timeout=900 $pkg >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get purge"; }
installed=0
# Every file and link goes; a folder may stay only when another package owns it.
left=()
while IFS= read -r f; do
  if [ -L "$f" ] || [ -f "$f" ]; then
    left+=("$f")
  elif [ "$f" != /. ] && [ -d "$f" ] && ! dpkg -S "$f" >/dev/null 2>&1; then
    left+=("$f")
  fi
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "left after purge: ${left[*]}"
echo "package ok: built, lintian-clean, installed, ran from PATH, as-installed test passed, purged"
