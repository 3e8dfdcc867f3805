#!/bin/sh
# Installs what the build and the tests need on a Debian machine, without
# asking. Does nothing when everything is already there.
set -e
packages="cmake make g++ gcc libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
  clang libclang-rt-14-dev valgrind mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  wine wine32:i386 xvfb x11-apps imagemagick pkg-config procps util-linux zip"
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
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
