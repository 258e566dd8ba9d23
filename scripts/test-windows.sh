#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 into build-win and runs
# their tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-windows-deps.sh

jobs=$(nproc)
build="build-win"

# shellcheck source=scripts/lib/children.sh
source scripts/lib/children.sh  # the working folder is the root here
# shellcheck source=scripts/lib/windows.sh
source scripts/lib/windows.sh

# A Wine prefix of our own, kept in the build folder, and quiet Wine.
export WINEPREFIX="$PWD/$build/wine-prefix"
export WINEDEBUG=-all
# Programs run without a display unless they are given the virtual one: a
# message box (of -I, -U) on a real display would wait for a click. The
# program folder is always the folder of kelvarix.exe.
unset DISPLAY KELVARIX_HOME
mkdir -p "$WINEPREFIX"
services_out="$PWD/$build/wine-services.out"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
start_wine "$services_out"

echo "== Windows build (MinGW-w64) and tests under Wine"
cmake -G Ninja -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARIX_WERROR=ON --no-warn-unused-cli >/dev/null
cmake --build "$build" -j "$jobs"

# Tests that Wine cannot run as Windows would, or that assume POSIX:
#  - symbolic links: Wine cannot create them;
#  - the listener's error text: the test expects the POSIX errno text.
wine_gaps='^(InstanceLockTest\.SameFolderSpelledDifferentlyIsStillTheSameFolder'
wine_gaps+='|FilesTest\.ListingHoldsOnlyVisibleOrdinaryFiles'
wine_gaps+='|TcpListenerTest\.UnusablePortGivesThePlatformErrorText)$'
# On a busy machine Wine now and then ends a program before it has run a
# line of it (empty output, within milliseconds); such a test gets one more
# try. A test that fails on its own code fails both times.
ctest --test-dir "$build" --output-on-failure -j "$jobs" -E "$wine_gaps" --repeat until-pass:2

# --- The Windows gateway as a whole, under Wine ------------------------------

echo "== End to end: the Windows gateway between the Linux simulators"
if [[ ! -f build/build.ninja ]]; then
    cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=Release -DKELVARIX_WERROR=ON >/dev/null
fi
cmake --build build -j "$jobs" --target kelvarix-pbxsim kelvarix-alarmsim

home=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-win.XXXXXX")
pbx_pid=""
gateway_pid=""
xvfb_pid=""
cleanup() {
    for pid in $gateway_pid $pbx_pid; do kill "$pid" 2>/dev/null || true; done
    wineserver -k >/dev/null 2>&1 || true
    stop_child "$xvfb_pid"
    rm -rf "$home"
}
trap cleanup EXIT

fail() {
    echo "test-windows.sh: $*" >&2
    for file in "$home"/*.out "$home"/LogFiles/*.Log "$services_out"; do
        [[ -f $file ]] && { echo "--- $file"; tr -d '\r' <"$file" | tail -n 40; }
    done
    exit 1
}

# Waits until the file holds the text, from the given line on (at most the
# given seconds).
wait_for() {
    local file=$1 text=$2 seconds=$3 from=${4:-1}
    local deadline=$((SECONDS + seconds))
    until tail -n "+$from" "$file" 2>/dev/null | grep -qF -- "$text"; do
        ((SECONDS < deadline)) || fail "no \"$text\" in $file after $seconds s"
        sleep 0.2
    done
    echo "ok: $text"
}

expect() {
    grep -qF -- "$2" "$1" || fail "expected \"$2\" in $1"
    echo "ok: $2"
}

# The number of the line that the file's next line will have.
next_line() {
    local lines=0
    [[ -f $1 ]] && lines=$(wc -l <"$1")
    echo $((lines + 1))
}

# Waits until a window of kelvarix.exe with this caption is on the display.
wait_for_window() {
    local caption=$1 seconds=$2
    local deadline=$((SECONDS + seconds))
    until window_shown "$display" "$caption"; do
        ((SECONDS < deadline)) || fail "no window \"$caption\" after $seconds s"
        sleep 0.2
    done
    echo "ok: the window \"$caption\""
}

# Waits until the child has ended by itself (at most the given seconds) and
# sets status to its exit status.
wait_exit() {
    local pid=$1 seconds=$2
    local deadline=$((SECONDS + seconds))
    while alive "$pid"; do
        ((SECONDS < deadline)) || fail "process $pid still runs after $seconds s"
        sleep 0.2
    done
    status=0
    wait "$pid" || status=$?
}

# The program folder is the folder of kelvarix.exe: a copy of it, with its
# settings and logs, in a folder of its own.
start_pbxsim "$home" || fail "the PBX simulator did not start"
server_port=$(free_port)
make_program_folder "$home" "$build/kelvarix.exe" "$server_port" "$pbx_port"
log() { system_log "$home"; }

# --help shows the Windows text and starts nothing.
wine "$home/kelvarix.exe" --help >"$home/help.raw" 2>"$home/help.err" </dev/null ||
    fail "--help failed"
tr -d '\r' <"$home/help.raw" >"$home/help.out"
for text in "Usage: kelvarix.exe" "Kelvarix.ini from its program folder" \
    'LogFiles\ in the program folder' '-I, -Install     install the Windows service "Kelvarix"' \
    '"Quorsyn Kelvarix service"' 'RunAsService = 1' 'File > Clear' 'File > Exit'; do
    expect "$home/help.out" "$text"
done
if grep -qi systemd "$home/help.out"; then fail "the help text is the Linux one"; fi
[[ ! -e $home/LogFiles ]] || fail "--help started the gateway"
caption=$(wine "$home/kelvarix.exe" --version 2>/dev/null </dev/null | tr -d '\r')
[[ $caption == "Kelvarix - Version "* ]] || fail "--version shows \"$caption\""
echo "ok: $caption"

# The gateway with its window, on a virtual display. The Wine server is
# started afresh with its desktop on that display.
start_display "$home" || fail "Xvfb did not start"
start_wine "$services_out" "$display"
DISPLAY=$display wine "$home/kelvarix.exe" >"$home/gateway.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for "$(log)" "Successfully set menu (SM)" 60
expect "$(log)" "Orvane server socket port $server_port was set in listening mode"
wait_for_window "$caption" 30

# One alarm: the alarm server hears "sent (ID)", the PBX's terminal
# acknowledges it, the gateway reports that with MCA and cleans its queue.
build/kelvarix-alarmsim --port "$server_port" '1|0|88|4711|2001||Fire alarm room 12|FIRE-2' \
    >"$home/alarmsim.out" 2>&1 || fail "the alarm server simulator failed"
expect "$home/alarmsim.out" "reply: sent (4711)"
wait_for "$(log)" "Sent MCA to PBX" 30
wait_for "$(log)" "Removed old or deleted message from queue" 30

# Stopped the way another program stops it: taskkill without /f posts
# WM_CLOSE to its window. The gateway writes its stop line and ends itself.
wine taskkill /im kelvarix.exe >"$home/taskkill.out" 2>&1 </dev/null ||
    fail "taskkill did not reach kelvarix.exe"
wait_for "$(log)" "Kelvarix was stopped (reason: Task Manager closed application)" 30
wait_exit "$gateway_pid" 30
gateway_pid=""
((status == 0)) || fail "the gateway ended with status $status"
echo "ok: the gateway ended by itself"

# Started with no standard output and no console to attach to (as from
# Explorer), --help shows its text in a message box instead.
DISPLAY=$display wine start /wait "$(winepath -w "$home/kelvarix.exe" 2>/dev/null | tr -d '\r')" --help \
    >"$home/start.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for_window "Kelvarix" 30  # the box, titled with the program's name
wine taskkill /im kelvarix.exe >"$home/taskkill.out" 2>&1 </dev/null || fail "taskkill failed"
wait_exit "$gateway_pid" 30
gateway_pid=""

echo "== The gateway as a Windows service under Wine"
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kelvarix'
# A run that ended half-way may have left its service registered.
wine sc delete Kelvarix >/dev/null 2>&1 </dev/null || true
wine "$home/kelvarix.exe" -I >"$home/install.out" 2>&1 </dev/null || fail "-I failed"
expect "$home/install.out" "Kelvarix: Quorsyn Kelvarix service service installation succeeded"
wine reg query "$service_key\\Parameters" /v RunAsService 2>/dev/null | tr -d '\r' >"$home/reg.out"
grep -qE 'RunAsService +REG_SZ +1$' "$home/reg.out" || fail "RunAsService is not 1"
echo "ok: RunAsService REG_SZ 1"
wine reg query "$service_key" /v Start 2>/dev/null | tr -d '\r' >"$home/reg.out"
grep -qE 'Start +REG_DWORD +0x2$' "$home/reg.out" || fail "the service does not start automatically"
echo "ok: automatic start"

echo "-- started by hand"
# Started by hand, the setting still makes it a service: the event-log entry.
WINEDEBUG=-all,+eventlog wine "$home/kelvarix.exe" >"$home/service.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for "$home/service.out" 'ReportEventW L"Quorsyn Kelvarix started"' 60
kill "$gateway_pid"
wait "$gateway_pid" 2>/dev/null || true
gateway_pid=""

# Started and stopped through Wine's service manager. "net start" returns
# once the service reports that it is starting, "net stop" once the stop is
# handed over: the rest is waited for.
service_query() {
    wine sc query Kelvarix 2>/dev/null </dev/null | tr -d '\r' | sed -n "s/^ *$1 *: *//p"
}
wait_for_state() {
    local state=$1 seconds=$2
    local deadline=$((SECONDS + seconds))
    until [[ $(service_query STATE) =~ ^[0-9]+\ +$state$ ]]; do
        ((SECONDS < deadline)) || fail "the service is not $state after $seconds s ($(service_query STATE))"
        sleep 0.2
    done
    echo "ok: the service is $state"
}
echo "-- started and stopped by the service manager"
from=$(next_line "$(log)")
events=$(next_line "$services_out")
wine net start Kelvarix >"$home/net.out" 2>&1 </dev/null || fail "net start failed"
wait_for "$services_out" 'ReportEventW L"Quorsyn Kelvarix started"' 60 "$events"
wait_for "$(log)" "Kelvarix was started" 60 "$from"
wait_for "$(log)" "Successfully set menu (SM)" 60 "$from"
wait_for_state RUNNING 30
wine net stop Kelvarix >"$home/net.out" 2>&1 </dev/null || fail "net stop failed"
wait_for "$(log)" "Kelvarix was stopped (reason: By Code)" 30 "$from"
wait_for "$services_out" 'ReportEventW L"Kelvarix was stopped"' 30 "$events"
wait_for_state STOPPED 30
# Stopped with exit code 0: the service reported its own stop. A service
# process that just ended would be left stopping, or marked with an exit code.
[[ $(service_query WIN32_EXIT_CODE) =~ ^0\  ]] ||
    fail "the service ended with $(service_query WIN32_EXIT_CODE)"
echo "ok: the service stopped by itself"

wine "$home/kelvarix.exe" -U >"$home/remove.out" 2>&1 </dev/null || fail "-U failed"
expect "$home/remove.out" "Kelvarix: Quorsyn Kelvarix service service uninstalled successfully"
if wine reg query "$service_key" >/dev/null 2>&1; then fail "the service is still registered"; fi
echo "ok: the service is gone"
wine "$home/kelvarix.exe" -U >"$home/remove.out" 2>&1 </dev/null || true
expect "$home/remove.out" "Kelvarix: Quorsyn Kelvarix service failed to uninstall as service"

echo "== Windows package"
package="$PWD/$build/kelvarix-windows.zip"
stage="$home/package"
mkdir -p "$stage"
for program in kelvarix kelvarix-pbxsim kelvarix-alarmsim; do
    x86_64-w64-mingw32-strip -o "$stage/$program.exe" "$build/$program.exe"
done
cp packaging/Kelvarix.ini "$stage/"
rm -f "$package"
(cd "$stage" && zip -q -X "$package" kelvarix.exe kelvarix-pbxsim.exe kelvarix-alarmsim.exe Kelvarix.ini)
unzip -l "$package"
