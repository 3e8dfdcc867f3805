#!/bin/sh
# Installs what the build and the tests need on a Debian machine, without
# asking. Does nothing when everything is already there.
set -e
packages="cmake make g++ gcc libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
  clang clang-tools-14 lld libclang-rt-14-dev valgrind
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  wine wine32:i386 xvfb x11-apps imagemagick pkg-config procps util-linux iproute2 zip
  wixl msitools"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
# Wine and the virtual display come with their recommended libraries (X extensions, fonts,
# graphics) that Win32 programs and the dialog need; everything else without.
with_recommends=""
without=""
for p in $missing; do
  case $p in
  wine | wine32:i386 | xvfb) with_recommends="$with_recommends $p" ;;
  *) without="$without $p" ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive
if [ -n "$without" ]; then
  $SUDO apt-get install -y -qq --no-install-recommends $without >/dev/null
fi
if [ -n "$with_recommends" ]; then
  $SUDO apt-get install -y -qq $with_recommends >/dev/null
fi
