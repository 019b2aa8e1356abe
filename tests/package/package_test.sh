#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root and checks the
# install layout, its declared dependencies and that the program runs from it.
set -euo pipefail
src=$1
work=$(mktemp -d /tmp/nivra-pkg-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

deb=$("$src/scripts/make-deb.sh" "$work/build")
root=$work/root
dpkg-deb -x "$deb" "$root"

for f in opt/nivra-wine/bin/nivra-wine-helper \
         opt/nivra-wine/desktop/icons/hicolor/48x48/apps/wineconfig.png \
         usr/share/applications/nivra-wine-helper.desktop; do
  [ -e "$root/$f" ] || fail "missing $f"
done
[ -x "$root/opt/nivra-wine/bin/nivra-wine-helper" ] || fail "helper not executable"
[ "$(readlink "$root/opt/nivra-wine/bin/nivra-wine-internal")" = /usr/bin/wine ] || fail "launcher link"
desktop-file-validate "$root/usr/share/applications/nivra-wine-helper.desktop" || fail "desktop entry"
grep -q '^Exec=/opt/nivra-wine/bin/nivra-wine-helper %f$' "$root/usr/share/applications/nivra-wine-helper.desktop" || fail "Exec line"
file --mime-type "$root/opt/nivra-wine/desktop/icons/hicolor/48x48/apps/wineconfig.png" | grep -q image/png || fail "icon is no PNG"

depends=$(dpkg-deb -f "$deb" Depends)
for d in wine lsof libgtk-3-0 liblog4c3; do
  echo "$depends" | grep -q "\b$d\b" || fail "Depends lacks $d: $depends"
done

helper=$root/opt/nivra-wine/bin/nivra-wine-helper
set +e
out=$(env -u DISPLAY "$helper" 2>&1); status=$?
set -e
[ $status -eq 171 ] && [ -z "$out" ] || fail "no-argument run: status $status, output '$out'"

# The launcher beside the unpacked program answers the version query.
set +e
out=$(env -u DISPLAY -u WINE_APP HOME="$work" WINEPREFIX="$work/none" "$helper" prog.exe 2>/dev/null)
set -e
echo "$out" | grep -q '^nivra-wine version: wine-' || fail "version block: $out"
echo "package layout ok: $deb"
