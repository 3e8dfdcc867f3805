#!/bin/sh
# Plays a package mirror's faults to scripts/install-deps.sh through stand-in apt commands and
# checks what the script runs, prints and returns. Touches neither the machine's apt nor dpkg.
set -u
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/install-deps-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/check.sh"
show_run() { cat "$work/out"; }

# The stand-ins. apt-get logs each call (one line, its arguments) to $work/calls and acts as
# $SCENARIO says; when it is given a preferences file it copies it, to check what it held.
cat >"$work/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUB_DIR/calls"
case $1 in
update)
  case $SCENARIO in
  update-fails-once)
    [ -f "$STUB_DIR/updated" ] && exit 0
    : >"$STUB_DIR/updated"
    echo "E: Failed to fetch http://mirror/debian/dists/bookworm/main/binary-i386/Packages.xz  Hash Sum mismatch" >&2
    exit 100 ;;
  ok) exit 0 ;;
  esac
  echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]" >&2
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
  exit 100 ;;
install)
  pin=""
  for a; do
    case $a in Dir::Etc::Preferences=*) pin=${a#Dir::Etc::Preferences=} ;; esac
  done
  [ -n "$pin" ] && cp "$pin" "$STUB_DIR/seen-preferences"
  case $SCENARIO in
  broken-until-pinned)
    [ -n "$pin" ] && exit 0 ;;
  fails-for-good) ;;
  *) exit 0 ;;
  esac
  echo "Some packages could not be installed." >&2
  echo "E: Unable to correct problems, you have held broken packages." >&2
  exit 100 ;;
esac
exit 0
STUB
cat >"$work/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >>"$STUB_DIR/calls"
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
# Nothing is installed but cmake.
cat >"$work/dpkg-query" <<'STUB'
#!/bin/sh
eval "p=\${$#}"
[ "$p" = cmake ] && printf 'install ok installed'
exit 0
STUB
chmod +x "$work/apt-get" "$work/dpkg" "$work/dpkg-query"
printf 'Package: example\nPin: version 1.*\nPin-Priority: 900\n' >"$work/machine-preferences"

# run NAME SCENARIO [GROUPS...]: runs the script, output in $work/out, status in $status.
run() {
  name=$1
  scenario=$2
  shift 2
  rm -f "$work/calls" "$work/updated" "$work/seen-preferences"
  status=0
  STUB_DIR=$work SCENARIO=$scenario TMPDIR=$work/tmp \
    DRAVOLIN_APT_GET=$work/apt-get DRAVOLIN_DPKG=$work/dpkg DRAVOLIN_DPKG_QUERY=$work/dpkg-query \
    DRAVOLIN_APT_UPDATE_PAUSE=0 DRAVOLIN_APT_PREFERENCES=$work/machine-preferences \
    sh "$script" "$@" </dev/null >"$work/out" 2>&1 || status=$?
}
printed() { grep -q -e "$1" "$work/out"; }
called() { grep -q -e "$1" "$work/calls"; }
count() { grep -c -e "$1" "$work/calls"; }
no_temp_left() { [ -z "$(ls -A "$work/tmp")" ]; }
mkdir -p "$work/tmp"

run "mirror in sync" ok
check "exit 0" [ "$status" -eq 0 ]
check "one update" [ "$(count '^apt-get update')" -eq 1 ]
check "no pin" not called 'Dir::Etc::Preferences'
check "cmake is not installed again" not called 'install.* cmake'
check "nothing said of failed indexes" not printed 'update failed'

run "update fails once, then works" update-fails-once
check "exit 0" [ "$status" -eq 0 ]
check "two updates" [ "$(count '^apt-get update')" -eq 2 ]
check "nothing said of failed indexes" not printed 'update failed'

run "security index missing, install resolves" security-index-missing
check "exit 0" [ "$status" -eq 0 ]
check "three updates" [ "$(count '^apt-get update')" -eq 3 ]
check "the index named once" [ "$(grep -c 'binary-i386/Packages.xz' "$work/out")" -eq 1 ]
check "the mirror's address left out" not printed 'IP:'
check "no pin needed" not called 'Dir::Etc::Preferences'
check "installs without asking" called '^apt-get install -y'

run "broken packages until the security suite is pinned down" broken-until-pinned
check "exit 0" [ "$status" -eq 0 ]
check "says so in one line" [ "$(grep -c 'below the main suite' "$work/out")" -eq 1 ]
check "the pin names the security suite" \
  grep -q '^Pin: release l=Debian-Security$' "$work/seen-preferences"
check "the pin puts it at 100" grep -q '^Pin-Priority: 100$' "$work/seen-preferences"
check "the machine's preferences kept" grep -q 'Package: example' "$work/seen-preferences"
check "the preferences file removed" no_temp_left
check "every set installed" [ "$(count '^apt-get install.*Dir::Etc::Preferences')" -eq 2 ]

run "install fails for good" fails-for-good
check "exit 1" [ "$status" -eq 1 ]
check "names the packages" printed 'could not install:.* g++'
check "apt's last error" printed 'apt: E: Unable to correct problems'
check "tried with the pin once per set" [ "$(count 'Dir::Etc::Preferences')" -eq 2 ]
check "nothing left behind" no_temp_left

run "native group only" ok native
check "exit 0" [ "$status" -eq 0 ]
check "no Win32 package" not called 'mingw\|wine'
check "no i386 architecture" not called 'add-architecture'

run "unknown group" ok windows
check "usage exit" [ "$status" -eq 64 ]
check "no apt call" [ ! -f "$work/calls" ]

check_summary install-deps
