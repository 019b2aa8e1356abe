#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Does nothing when they are all there already.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev clang-format
  libgtk-3-dev liblog4c-dev libfontconfig-dev liblzma-dev libx11-dev libxtst-dev
  libgtest-dev libgmock-dev desktop-file-utils file dpkg-dev debhelper lintian man-db
  xvfb xauth x11-utils procps fonts-wqy-microhei imagemagick autopkgtest
  python3-dogtail at-spi2-core dbus dbus-x11 gir1.2-atspi-2.0 gir1.2-gtk-3.0 python3-gi
  weston mutter xwayland kwin-wayland
  wine wine64 libwine fonts-wine gettext locales
)


missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Wine starts 32-bit Windows programs, which most installers are, only with its
# 32-bit half: on amd64 that is wine32 of the i386 architecture. It can run
# only where the kernel runs 32-bit programs, so ask the kernel first. A wine32
# the kernel cannot run is worse than none: Debian's wine, wineboot and winecfg
# then always pick its loader, and nothing of Wine starts.
wine32=()
leftover=no
if [ "$(dpkg --print-architecture)" = amd64 ]; then
  has_wine32=no
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" &&
    has_wine32=yes
  kernel=0
  "$(dirname "$0")/probe-32bit.sh" || kernel=$?
  if [ $kernel -eq 1 ]; then
    echo "not installing wine32:i386: this kernel runs no 32-bit programs (ia32_emulation=on" \
      "on the kernel command line turns them on), so Wine runs 64-bit Windows programs only"
    if [ $has_wine32 = yes ]; then
      echo "removing wine32:i386: it cannot run on this kernel, and while it is installed" \
        "wine runs nothing; boot with ia32_emulation=on and run this again to get it back"
      leftover=yes
    fi
  elif [ $has_wine32 = no ]; then
    wine32=(wine32:i386) # also when the probe cannot tell: as on most kernels
  fi
fi

# The locales the tests show the window in, besides C.UTF-8, which is built in; listed
# in /etc/locale.gen, so that an upgrade of the locales package makes them again.
make_locales() {
  local wanted=()
  for l in en_US zh_CN; do
    locale -a 2>/dev/null | grep -qx "$l.utf8" || wanted+=("$l.UTF-8 UTF-8")
  done
  [ ${#wanted[@]} -gt 0 ] || return 0
  echo "making the locales ${wanted[*]}"
  for w in "${wanted[@]}"; do
    grep -qx "$w" /etc/locale.gen 2>/dev/null || echo "$w" | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  done
  "${sudo_cmd[@]}" locale-gen >/dev/null
}

if [ ${#missing[@]} -eq 0 ] && [ ${#wine32[@]} -eq 0 ] && [ $leftover = no ]; then
  make_locales
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
# Other apt runs may hold the lock for a while: wait for it instead of failing.
apt=("${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900)
if [ $leftover = yes ]; then
  "${apt[@]}" remove -y -q wine32:i386
  [ ${#missing[@]} -eq 0 ] && { make_locales; exit 0; }
fi
[ ${#missing[@]} -eq 0 ] || echo "installing: ${missing[*]}"
if [ ${#wine32[@]} -gt 0 ]; then
  if dpkg --print-foreign-architectures | grep -qx i386; then
    echo "installing wine32:i386 (Wine for 32-bit Windows programs)"
  else
    echo "enabling the i386 architecture and installing wine32:i386 (Wine for 32-bit Windows programs)"
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
fi
# A mirror caught mid-sync fails one index now and then: try again, and in the
# end go on with what was fetched, since the install says clearly what it lacks.
for try in 1 2 3; do
  "${apt[@]}" update -q && break
  echo "apt-get update failed (try $try of 3)" >&2
  [ "$try" -eq 3 ] || sleep 20
done
install() {
  "${apt[@]}" install -y -q --no-install-recommends "$@" "${missing[@]}" "${wine32[@]}"
}
# An i386 library must be the very version of its amd64 twin. When a mirror
# lacks the security archive's i386 index, only the release itself has both.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
for try in 1 2 3; do
  install && make_locales && exit 0
  echo "apt-get install failed (try $try of 3)" >&2
  if [ ${#wine32[@]} -gt 0 ] && [ -n "$codename" ]; then
    echo "trying again with the versions of $codename itself, which has both architectures" >&2
    install -t "$codename" && make_locales && exit 0
  fi
  [ "$try" -eq 3 ] || { sleep 20; "${apt[@]}" update -q || true; }
done
exit 1
