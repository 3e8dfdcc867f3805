#!/bin/sh
# The Windows installer as an administrator uses it, under Wine's msiexec in a fresh prefix of
# its own with the stand-in policy agent installed as "PolicyAgent":
#   - builds the package with the build's "msi" target, twice (the same codes), and one of
#     the next patch version from the same files with a changed dravolinctl.exe;
#   - silent install with a log: the files, the Start menu shortcut (not advertised), the
#     Programs and Features entry and the PATH entry; dravolinctl found through PATH talks to
#     the stand-in server; the configurator applies a policy and shows it;
#   - the newer package upgrades in place (one entry, the new file, the policy kept); the
#     older one is then refused with its message; ADDLOCAL=SDK adds the SDK, and a program
#     built against the installed header and import library runs (its DLL found through PATH);
#   - uninstall with KEEPIPSECPOLICY=1 leaves nothing of ours but the policy; uninstall with
#     the agent running, stopped and missing removes the policy too and succeeds;
#   - INSTALLDIR= installs elsewhere, and the uninstall finds that folder again.
# The x64 package (PLATFORM x64, in a 64-bit prefix) also: its x86 DravolinClient.dll lands in
# Program Files (x86) and both bin folders are on PATH; it replaces an installed x86 package of
# the same version (built from X86_BUILD), leaving one entry.
#
#   msi_test.sh BUILD_DIR SOURCE_DIR WORK_DIR VERSION WINE_RUN AGENT SERVER CC MSIINFO
#               WIXL MSIBUILD CMAKE [PLATFORM [X86_BUILD]]     (PLATFORM: win32 or x64)
set -u
BUILD=$1
SOURCE=$2
WORK=$3
VERSION=$4
WINE_RUN=$5
AGENT=$6
SERVER=$7
CC=$8
MSIINFO=$9
shift 9
WIXL=$1
MSIBUILD=$2
CMAKE=$3
PLATFORM=${4:-win32}
X86_BUILD=${5:-}

fail() {
    echo "FAILED: $*"
    exit 1
}
step() {
    echo "--- $* ($(date -u +%T))"
}

rm -rf "$WORK"
mkdir -p "$WORK" || fail "cannot create $WORK"
cd "$WORK" || exit 1

# A prefix of this test's own, made afresh; Wine makes no menu entries of the user's desktop.
export DRAVOLIN_WINEPREFIX="$WORK/wineprefix" DRAVOLIN_WINEPREFIX_FIXED=1
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
DRIVE_C="$DRAVOLIN_WINEPREFIX/drive_c"
SERVER_PID=
cleanup() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
    WINEPREFIX="$DRAVOLIN_WINEPREFIX" wineserver -k 2>/dev/null
}
trap cleanup EXIT

w() {
    sh "$WINE_RUN" "$@" </dev/null
}
# A Unix path as Wine's Z: drive names it.
winpath() {
    printf 'Z:%s' "$1" | tr / '\\'
}
# Standard output of a Win32 program without carriage returns; its exit code.
wout() {
    w "$@" >"$WORK/wout.raw" 2>"$WORK/wout.err"
    wout_rc=$?
    tr -d '\r' <"$WORK/wout.raw"
    return $wout_rc
}

INSTALLED="$DRIVE_C/Program Files/Dravolin"
INSTALL_DIR='C:\Program Files\Dravolin\'
BIN_DIR='C:\Program Files\Dravolin\bin\'
# The x64 package's x86 DLL, and where an x86 package goes in a 64-bit prefix.
INSTALLED_X86="$DRIVE_C/Program Files (x86)/Dravolin"
X86_BIN_DIR='C:\Program Files (x86)\Dravolin\'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
ENV_KEY='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
STORE_KEY='HKLM\SOFTWARE\Policies\Microsoft\Windows\IPSec\Policy\Local'
OUR_POLICY='ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}'
SHORTCUT='Dravolin IP Security Configurator.lnk'

# msiexec with a verbose log: its exit code in RC, the log's path in LOG.
LOG_NUMBER=0
msiexec_run() {
    LOG_NUMBER=$((LOG_NUMBER + 1))
    LOG="$WORK/msiexec-$LOG_NUMBER.log"
    w msiexec "$@" /qn /l*v "$(winpath "$LOG")" >"$WORK/msiexec-$LOG_NUMBER.out" 2>&1
    RC=$?
}
msi_install() {
    package=$1
    shift
    msiexec_run /i "$(winpath "$package")" "$@"
    [ "$RC" = 0 ] || fail "msiexec /i $(basename "$package") $* ended with $RC (log: $LOG)"
}
msi_uninstall() {
    package=$1
    shift
    msiexec_run /x "$(winpath "$package")" "$@"
    [ "$RC" = 0 ] || fail "msiexec /x $(basename "$package") $* ended with $RC (log: $LOG)"
}

# The files below the install folder, relative, sorted.
installed_files() {
    [ -d "$INSTALLED" ] || return 0
    (cd "$INSTALLED" && find . -type f | sed 's|^\./||' | sort)
}
expect_files() {
    printf '%s\n' "$@" | sort >"$WORK/expected-files"
    installed_files >"$WORK/installed-files"
    cmp -s "$WORK/expected-files" "$WORK/installed-files" ||
        fail "installed files differ from the expected ones:
$(diff "$WORK/expected-files" "$WORK/installed-files")"
}
DEFAULT_FILES="bin/DravolinClient.dll bin/dravolinctl.exe bin/DravolinIPSecCfg.exe bin/DravolinIPSecCfg.com"

# Start menu shortcuts of ours, wherever Wine put them (a per-machine entry lands in the
# installing user's menu under Wine 8).
shortcuts() {
    find "$DRIVE_C" -name "$SHORTCUT" 2>/dev/null
}

# The registry views to look at: a 64-bit prefix has a second one for 32-bit programs.
views() {
    if [ "$PLATFORM" = x64 ]; then echo /reg:64 /reg:32; else echo /reg:32; fi
}
# The values of our Programs and Features entries, one "key|name|value" line each.
arp_entries() {
    for view in $(views); do wout reg query "$UNINSTALL_KEY" /s "$view"; done | awk '
        /^HKEY/ { key = $0; next }
        /^    / { sub(/^    /, ""); n = index($0, "    "); name = substr($0, 1, n - 1)
                  rest = substr($0, n + 4); m = index(rest, "    ")
                  value = m ? substr(rest, m + 4) : ""; values[key, name] = value
                  keys[key] = 1 }
        END { for (k in keys) if (values[k, "DisplayName"] == "Dravolin client software")
                  for (kn in values) { split(kn, p, SUBSEP)
                      if (p[1] == k) print k "|" p[2] "|" values[kn] } }'
}
arp_value() {
    grep "|$1|" "$WORK/arp" | head -n 1 | cut -d '|' -f 3-
}
expect_one_entry() {
    arp_entries >"$WORK/arp"
    count=$(cut -d '|' -f 1 "$WORK/arp" | sort -u | grep -c .)
    [ "$count" = 1 ] || fail "$count Programs and Features entries of ours:
$(cat "$WORK/arp")"
    [ "$(arp_value DisplayVersion)" = "$1" ] || fail "entry version: $(cat "$WORK/arp")"
    [ "$(arp_value Publisher)" = Dravolin ] || fail "entry publisher: $(cat "$WORK/arp")"
    [ "$(arp_value InstallLocation)" = "$INSTALL_DIR" ] ||
        fail "entry install folder: $(cat "$WORK/arp")"
    case "$(arp_value UninstallString)" in
    *'MsiExec.exe /X{'*'}') ;;
    *) fail "entry uninstall command: $(cat "$WORK/arp")" ;;
    esac
}
expect_no_entry() {
    arp_entries >"$WORK/arp"
    [ ! -s "$WORK/arp" ] || fail "a Programs and Features entry is left: $(cat "$WORK/arp")"
    for view in $(views); do
        ! wout reg query 'HKLM\Software\Dravolin' "$view" >/dev/null ||
            fail "HKLM\Software\Dravolin is left ($view): $(cat "$WORK/wout.raw")"
    done
}

# How often the machine's PATH names our bin folder (folder $1, default the package's own).
path_entries() {
    wout reg query "$ENV_KEY" /v PATH | sed -n 's/^ *PATH  *REG_[A-Z_]*  *//p' | tr ';' '\n' |
        grep -c -x -F "${1:-$BIN_DIR}"
}
# The x64 package's x86 DLL: installed with the Client feature, the staged x86 build's own.
expect_x86_dll() {
    [ "$PLATFORM" = x64 ] || return 0
    (cd "$INSTALLED_X86" 2>/dev/null && find . -type f | sed 's|^\./||') >"$WORK/x86-files"
    [ "$(cat "$WORK/x86-files")" = DravolinClient.dll ] ||
        fail "in Program Files (x86)\Dravolin: $(cat "$WORK/x86-files")"
    cmp -s "$1/x86/DravolinClient.dll" "$INSTALLED_X86/DravolinClient.dll" ||
        fail "the x86 DLL differs from the staged one"
    [ "$(path_entries "$X86_BIN_DIR")" = 1 ] || fail "PATH names the x86 folder $(path_entries "$X86_BIN_DIR") times"
}
expect_x86_gone() {
    [ ! -e "$INSTALLED_X86" ] || fail "left in Program Files (x86): $(find "$INSTALLED_X86")"
    [ "$(path_entries "$X86_BIN_DIR")" = 0 ] || fail "PATH still names the x86 folder"
}

# Whether the store holds our policy, and what "ActivePolicy" names.
store_has_ours() {
    wout reg query "$STORE_KEY" /s | grep -q -F "$OUR_POLICY"
}
active_policy() {
    wout reg query "$STORE_KEY" /v ActivePolicy | sed -n 's/^ *ActivePolicy  *REG_SZ  *//p'
}
expect_policy_kept() {
    store_has_ours || fail "our policy is no longer stored ($1)"
    case "$(active_policy)" in
    *"$OUR_POLICY") ;;
    *) fail "\"ActivePolicy\" does not name our policy ($1): $(active_policy)" ;;
    esac
}
expect_policy_gone() {
    ! store_has_ours || fail "our policy is still stored ($1)"
    [ -z "$(active_policy)" ] || fail "\"ActivePolicy\" is left ($1): $(active_policy)"
}

# The configurator's show through the console twin, found through PATH.
show_protected() {
    wout cmd /c DravolinIPSecCfg /show /json >"$WORK/show.json"
    rc=$?
    [ "$rc" = 0 ] || fail "DravolinIPSecCfg /show /json ended with $rc: $(cat "$WORK/show.json")"
    grep -q '"protected": *true' "$WORK/show.json" || fail "show: $(cat "$WORK/show.json")"
    grep -q '"address": *"10.0.0.1"' "$WORK/show.json" || fail "show: $(cat "$WORK/show.json")"
}
apply_policy() {
    w "${BIN_DIR}DravolinIPSecCfg.exe" -a10.0.0.1 -p3260 -kmsi-test-key >/dev/null 2>&1 ||
        fail "the installed configurator could not apply a policy"
}

agent_state() {
    wout sc query PolicyAgent | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
# Stops the agent and waits until the service manager reports it stopped.
stop_agent() {
    w sc stop PolicyAgent >/dev/null 2>&1
    for _ in $(seq 1 600); do
        [ "$(agent_state)" = STOPPED ] && return 0
        sleep 0.1
    done
    fail "the agent did not stop: $(agent_state)"
}
agent_log() {
    wout reg query 'HKLM\SOFTWARE\DravolinTests\PolicyAgentStandIn' /v Log
}

start=$(date +%s)

step "packages"
"$CMAKE" --build "$BUILD" --target msi >"$WORK/build-msi.out" 2>&1 ||
    fail "the msi target failed: $(cat "$WORK/build-msi.out")"
MSI="$BUILD/Dravolin-$VERSION-$PLATFORM.msi"
[ -f "$MSI" ] || fail "no $MSI"
echo "$(basename "$MSI"): $(wc -c <"$MSI") bytes"
# The same tree, the same package: identity codes from the source, the version and the files.
codes() {
    { "$MSIINFO" suminfo "$MSI" | grep "^Revision number"
      "$MSIINFO" export "$MSI" Property | grep -E "^(ProductCode|UpgradeCode|ProductVersion)	"; } |
        tr -d '\r'
}
codes >"$WORK/codes-1"
"$CMAKE" --build "$BUILD" --target msi >"$WORK/build-msi-2.out" 2>&1 ||
    fail "the msi target failed: $(cat "$WORK/build-msi-2.out")"
codes >"$WORK/codes-2"
cmp -s "$WORK/codes-1" "$WORK/codes-2" ||
    fail "two builds of one tree differ: $(diff "$WORK/codes-1" "$WORK/codes-2")"
grep -q "^UpgradeCode	{6D1A3E52-0F7B-4C38-9A2E-5B84C1D7E913}$" "$WORK/codes-1" ||
    fail "UpgradeCode: $(cat "$WORK/codes-1")"
grep -q "^ProductVersion	$VERSION$" "$WORK/codes-1" || fail "ProductVersion: $(cat "$WORK/codes-1")"
"$MSIINFO" export "$MSI" Shortcut | grep -q "	\[#DravolinIPSecCfg.exe\]	" ||
    fail "the shortcut does not point at the file (advertised?)"
# The next patch version, its dravolinctl.exe told apart by bytes appended (the program runs
# the same).
UP_VERSION=$(echo "$VERSION" | awk -F. '{ print $1 "." $2 "." $3 + 1 }')
cp -R "$BUILD/msi-stage" "$WORK/stage-up"
printf 'Dravolin %s\n' "$UP_VERSION" >>"$WORK/stage-up/bin/dravolinctl.exe"
UP_MSI="$WORK/Dravolin-$UP_VERSION-$PLATFORM.msi"
"$CMAKE" -DSTAGE="$WORK/stage-up" -DVERSION="$UP_VERSION" -DOUTPUT="$UP_MSI" -DPLATFORM="$PLATFORM" \
    -DWXS="$SOURCE/packaging/Dravolin.wxs" -DWIXL="$WIXL" -DMSIBUILD="$MSIBUILD" \
    -DMSIINFO="$MSIINFO" -P "$SOURCE/packaging/build_msi.cmake" >"$WORK/build-up.out" 2>&1 ||
    fail "cannot build the $UP_VERSION package: $(cat "$WORK/build-up.out")"

step "fresh prefix, stand-in policy agent"
w sc create PolicyAgent binpath= "$(winpath "$AGENT")" >"$WORK/sc.out" 2>&1 ||
    fail "cannot install the stand-in agent: $(cat "$WORK/sc.out")"
# The stand-in server runs for the whole test: a program of the prefix, it also keeps the
# prefix's wineserver, and with it the agent service, from ending between the steps.
w "$SERVER" --port 0 --bind 127.0.0.1 --user admin:pw --exit-after 900 \
    >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
PORT=
for _ in $(seq 1 600); do
    PORT=$(sed -n 's/.*(service port \([0-9]*\)).*/\1/p' "$WORK/server.out" | tr -d '\r')
    [ -n "$PORT" ] && break
    kill -0 "$SERVER_PID" 2>/dev/null || fail "the server did not start: $(cat "$WORK/server.err")"
    sleep 0.1
done
[ -n "$PORT" ] || fail "the server printed no port"
PATH_BEFORE=$(path_entries)
[ "$PATH_BEFORE" = 0 ] || fail "PATH names our folder before the install"

if [ "$PLATFORM" = x64 ]; then
    step "the x86 package of $VERSION, then the x64 one replaces it"
    [ -f "$X86_BUILD/CMakeCache.txt" ] || fail "no x86 build at '$X86_BUILD' (build the win32 preset first)"
    X86_MSI="$X86_BUILD/Dravolin-$VERSION-win32.msi"
    "$CMAKE" --build "$X86_BUILD" --target msi >"$WORK/build-x86-msi.out" 2>&1 ||
        fail "the x86 build's msi target failed: $(cat "$WORK/build-x86-msi.out")"
    msi_install "$X86_MSI"
    [ -f "$INSTALLED_X86/bin/dravolinctl.exe" ] || fail "the x86 package installed no dravolinctl.exe"
    arp_entries >"$WORK/arp"
    [ "$(cut -d '|' -f 1 "$WORK/arp" | sort -u | grep -c .)" = 1 ] ||
        fail "entries after the x86 install: $(cat "$WORK/arp")"
fi

step "install $VERSION"
msi_install "$MSI"
expect_x86_dll "$BUILD/msi-stage"
# shellcheck disable=SC2086
expect_files $DEFAULT_FILES
for f in $DEFAULT_FILES; do
    cmp -s "$BUILD/msi-stage/$f" "$INSTALLED/$f" || fail "$f differs from the build's"
done
[ "$(shortcuts | grep -c .)" = 1 ] || fail "shortcuts: $(shortcuts)"
# Not advertised: the link names the program's path.
grep -a -q 'Dravolin\\bin\\DravolinIPSecCfg.exe' "$(shortcuts)" ||
    fail "the shortcut does not name the installed program"
expect_one_entry "$VERSION"
[ "$(path_entries)" = 1 ] || fail "PATH names our folder $(path_entries) times"

step "dravolinctl through PATH against the stand-in server"
out=$(wout cmd /c dravolinctl --version) || fail "dravolinctl --version: $out"
echo "$out" | grep -q "client library 20050118" || fail "dravolinctl --version printed: $out"
out=$(wout cmd /c dravolinctl --port "$PORT" --user admin --password pw --json list-devices)
rc=$?
[ "$rc" = 0 ] || fail "dravolinctl list-devices ended with $rc: $out"
echo "$out" | grep -q '"ok": *true' || fail "dravolinctl list-devices printed: $out"

step "configurator: apply, show"
apply_policy
show_protected
expect_policy_kept "after the apply"

step "upgrade to $UP_VERSION"
msi_install "$UP_MSI"
expect_one_entry "$UP_VERSION"
# shellcheck disable=SC2086
expect_files $DEFAULT_FILES
expect_x86_dll "$WORK/stage-up"
cmp -s "$WORK/stage-up/bin/dravolinctl.exe" "$INSTALLED/bin/dravolinctl.exe" ||
    fail "the upgrade did not install the new dravolinctl.exe"
[ "$(path_entries)" = 1 ] || fail "PATH names our folder $(path_entries) times after the upgrade"
[ "$(shortcuts | grep -c .)" = 1 ] || fail "shortcuts after the upgrade: $(shortcuts)"
expect_policy_kept "after the upgrade"
show_protected

step "the older package is refused"
msiexec_run /i "$(winpath "$MSI")"
# 1603, of which a Unix exit status keeps the low 8 bits (67).
[ "$RC" = 1603 ] || [ "$RC" = 67 ] ||
    fail "installing $VERSION over $UP_VERSION ended with $RC, not 1603"
grep -a -q "A newer version of Dravolin client software is already installed" "$LOG" ||
    fail "the log does not give the reason ($LOG)"
expect_one_entry "$UP_VERSION"
cmp -s "$WORK/stage-up/bin/dravolinctl.exe" "$INSTALLED/bin/dravolinctl.exe" ||
    fail "the refused package changed dravolinctl.exe"

step "ADDLOCAL=SDK, a program built against the installed SDK"
msi_install "$UP_MSI" ADDLOCAL=SDK
(cd "$WORK/stage-up" && find . -type f | sed 's|^\./||' | grep -v '^x86/') >"$WORK/all-files"
# shellcheck disable=SC2046
expect_files $(cat "$WORK/all-files")
mkdir -p "$WORK/consumer"
"$CC" -Wall -Werror -I "$INSTALLED/include" "$INSTALLED/examples/list_devices.c" \
    "$INSTALLED/lib/DravolinClient.dll.a" -o "$WORK/consumer/list_devices.exe" ||
    fail "list_devices.c does not build against the installed SDK"
out=$(wout cmd /c "$(winpath "$WORK/consumer/list_devices.exe")")
echo "$out" | grep -q "DravolinClient version 20050118" ||
    fail "the consumer (its DLL through PATH) printed: $out"
expect_one_entry "$UP_VERSION"

step "uninstall with KEEPIPSECPOLICY=1"
msi_uninstall "$UP_MSI" KEEPIPSECPOLICY=1
[ ! -e "$INSTALLED" ] || fail "left in the install folder: $(installed_files)"
expect_x86_gone
[ -z "$(shortcuts)" ] || fail "shortcut left: $(shortcuts)"
expect_no_entry
[ "$(path_entries)" = 0 ] || fail "PATH still names our folder"
expect_policy_kept "after an uninstall with KEEPIPSECPOLICY=1"

step "uninstall, agent running"
msi_install "$UP_MSI"
[ "$(agent_state)" = RUNNING ] || fail "agent: $(agent_state)"
msi_uninstall "$UP_MSI"
[ ! -e "$INSTALLED" ] || fail "left in the install folder: $(installed_files)"
expect_no_entry
expect_policy_gone "uninstall, agent running"

step "uninstall, agent stopped"
msi_install "$UP_MSI"
apply_policy
stop_agent
msi_uninstall "$UP_MSI"
expect_no_entry
expect_policy_gone "uninstall, agent stopped"
[ "$(agent_state)" = STOPPED ] || fail "the uninstall started the agent: $(agent_state)"

step "uninstall, agent missing"
msi_install "$UP_MSI"
apply_policy
stop_agent
w sc delete PolicyAgent >/dev/null 2>&1 || fail "cannot delete the agent service"
msi_uninstall "$UP_MSI"
[ ! -e "$INSTALLED" ] || fail "left in the install folder: $(installed_files)"
[ -z "$(shortcuts)" ] || fail "shortcut left: $(shortcuts)"
expect_no_entry
[ "$(path_entries)" = 0 ] || fail "PATH still names our folder"
expect_policy_gone "uninstall, agent missing"

step "another install folder"
msi_install "$UP_MSI" 'INSTALLDIR=C:\Tools\Dravolin\'
OTHER="$DRIVE_C/Tools/Dravolin"
[ -f "$OTHER/bin/dravolinctl.exe" ] || fail "nothing installed into C:\Tools\Dravolin"
[ ! -e "$INSTALLED" ] || fail "installed into the default folder as well"
wout reg query "$ENV_KEY" /v PATH | grep -q -F 'C:\Tools\Dravolin\bin\' ||
    fail "PATH does not name C:\Tools\Dravolin\bin"
arp_entries >"$WORK/arp"
[ "$(arp_value InstallLocation)" = 'C:\Tools\Dravolin\' ] ||
    fail "entry install folder: $(cat "$WORK/arp")"
# Found again by the uninstall, which is not told the folder.
msi_uninstall "$UP_MSI"
[ ! -e "$OTHER" ] || fail "left in C:\Tools\Dravolin: $(find "$OTHER")"
expect_no_entry
! wout reg query "$ENV_KEY" /v PATH | grep -q -F 'Dravolin' || fail "PATH still names our folder"

echo "msi test passed in $(($(date +%s) - start)) s"
cleanup
trap - EXIT
rm -rf "$DRAVOLIN_WINEPREFIX" "$WORK/stage-up"
