#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Does nothing when they are all there already.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev clang-format
  libgtk-3-dev liblog4c-dev libfontconfig-dev libx11-dev libxtst-dev
  libgtest-dev libgmock-dev desktop-file-utils file dpkg-dev debhelper lintian man-db
  xvfb xauth x11-utils lsof procps fonts-wqy-microhei imagemagick
  python3-dogtail at-spi2-core dbus dbus-x11 gir1.2-atspi-2.0 gir1.2-gtk-3.0
  wine wine64 libwine fonts-wine
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
