#!/bin/sh
# Installs what the build and the tests need on a Debian machine, without asking. Does nothing
# when everything is already there.
#
#   install-deps.sh [native] [win32]     (no argument: both)
#
# native: compilers, CMake, GoogleTest, Google Benchmark, sanitizer runtimes, valgrind, and
#         Python 3 with pytest, pytest-asyncio, setuptools and pip (the Python package).
# win32:  the Windows builds' tools: mingw-w64 (i686 and x86_64), Wine (64-bit and 32-bit), Xvfb,
#         clang-cl and lld-link, wixl. Wine's 32-bit half installs on a machine that runs no
#         i386 code too (it then cannot start there; scripts/test.sh finds that out).
#
# A package mirror in the middle of a sync serves some index files with the wrong size, and
# apt-get update fails for them. The update is tried a few times; the indexes that still fail
# are named once and the install goes on without them. When the security suite's index for one
# architecture is missing, Multi-Arch libraries can exist for the other architecture only in a
# newer security version, and the install cannot be resolved: it is then tried once more with
# the security suite below the main suite, through a preferences file that only that apt-get
# call reads (the machine's apt configuration is never changed).
#
# Exit status: 0 installed (or nothing to do), 1 some packages could not be installed (named on
# standard error with apt's last error line), 64 usage.
#
# The apt commands come from the environment so that a test can play the mirror's faults:
# DRAVOLIN_APT_GET, DRAVOLIN_DPKG, DRAVOLIN_DPKG_QUERY (default apt-get, dpkg, dpkg-query),
# DRAVOLIN_APT_UPDATE_TRIES (3), DRAVOLIN_APT_UPDATE_PAUSE (seconds, 10),
# DRAVOLIN_APT_PREFERENCES (the machine's own preferences file, kept in the retry).
set -u

native_packages="cmake make g++ gcc libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-pytest python3-pytest-asyncio python3-setuptools python3-pip universal-ctags
  libssl-dev clang libclang-rt-14-dev valgrind pkg-config procps util-linux iproute2 zip
  iptables"
win32_packages="mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix clang-tools-14 lld
  wine wine64 wine32:i386 xvfb x11-apps imagemagick wixl msitools"

apt_get=${DRAVOLIN_APT_GET:-apt-get}
dpkg_cmd=${DRAVOLIN_DPKG:-dpkg}
dpkg_query=${DRAVOLIN_DPKG_QUERY:-dpkg-query}
update_tries=${DRAVOLIN_APT_UPDATE_TRIES:-3}
update_pause=${DRAVOLIN_APT_UPDATE_PAUSE:-10}
machine_preferences=${DRAVOLIN_APT_PREFERENCES:-/etc/apt/preferences}

say() { echo "install-deps: $*" >&2; }

wanted=""
for group in "$@"; do
  case $group in
  native) wanted="$wanted $native_packages" ;;
  win32) wanted="$wanted $win32_packages" ;;
  *)
    say "unknown group '$group' (native, win32)"
    exit 64
    ;;
  esac
done
[ $# -eq 0 ] && wanted="$native_packages $win32_packages"

missing=""
for p in $wanted; do
  $dpkg_query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $p"
done
[ -z "$missing" ] && exit 0
say "installing:$missing"

sudo=""
[ "$(id -u)" -ne 0 ] && [ -z "${DRAVOLIN_APT_GET:-}" ] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive

work=$(mktemp -d "${TMPDIR:-/tmp}/install-deps.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

case $missing in
*:i386*)
  if ! $dpkg_cmd --print-foreign-architectures 2>/dev/null | grep -qx i386; then
    $sudo $dpkg_cmd --add-architecture i386 || say "could not add the i386 architecture"
  fi
  ;;
esac

# The last "E:" line apt printed into file $1, without the mirror's address.
last_error() { grep '^E:' "$1" | tail -n 1 | sed 's/ *\[IP: [^]]*\]//'; }

# apt-get update, a few times. Sets security_missing when an index of a security suite could
# not be fetched in the last try.
security_missing=""
try=1
while :; do
  if $sudo $apt_get update -qq </dev/null >"$work/update.log" 2>&1; then
    break
  fi
  if [ "$try" -ge "$update_tries" ]; then
    failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$work/update.log")
    if [ -n "$failed" ]; then
      say "apt-get update failed $update_tries times; going on without these indexes:"
      sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/  \1: \2/p' "$work/update.log" |
        sed 's/ *\[IP: [^]]*\]//' >&2
    else
      say "apt-get update failed $update_tries times: $(last_error "$work/update.log")"
    fi
    case $failed in *-security/*) security_missing=1 ;; esac
    break
  fi
  try=$((try + 1))
  sleep "$update_pause"
done

# A preferences file that keeps the machine's own preferences and puts the security suite below
# the main suite. apt-get reads it only where it is named with -o.
write_pin() {
  {
    if [ -f "$machine_preferences" ]; then
      cat "$machine_preferences"
      echo
    fi
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n'
  } >"$work/preferences"
}

# apt_install LOG [apt-get options] -- PACKAGES
apt_install() {
  log=$1
  shift
  $sudo $apt_get install -y -qq -o Dpkg::Options::=--force-confdef \
    -o Dpkg::Options::=--force-confold "$@" </dev/null >"$log" 2>&1
}

unresolved() { grep -q -e 'held broken packages' -e 'Unmet dependencies' -e 'Unable to correct problems' "$1"; }

# install_set RECOMMENDS PACKAGES...: installs, retrying once with the security suite pinned
# down where that can help. On failure names the packages and apt's last error.
install_set() {
  recommends=$1
  shift
  if apt_install "$work/install.log" $recommends "$@"; then
    return 0
  fi
  if [ -n "$security_missing" ] && unresolved "$work/install.log"; then
    if [ ! -f "$work/preferences" ]; then
      say "the security suite's index is missing; trying again with it below the main suite"
      write_pin
    fi
    if apt_install "$work/install.log" $recommends -o "Dir::Etc::Preferences=$work/preferences" "$@"; then
      return 0
    fi
  fi
  say "could not install:$(printf ' %s' "$@")"
  say "apt: $(last_error "$work/install.log")"
  return 1
}

# Wine and the virtual display come with their recommended libraries (X extensions, fonts,
# graphics) that Win32 programs and the dialog need; everything else without.
with_recommends=""
without=""
for p in $missing; do
  case $p in
  wine | wine64 | wine32:i386 | xvfb) with_recommends="$with_recommends $p" ;;
  *) without="$without $p" ;;
  esac
done

status=0
if [ -n "$without" ]; then
  install_set --no-install-recommends $without || status=1
fi
if [ -n "$with_recommends" ]; then
  install_set --install-recommends $with_recommends || status=1
fi
exit $status
