#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 into build-win and runs
# their tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-windows-deps.sh

jobs=$(nproc)
build=build-win

# A Wine prefix of our own, kept in the build folder, and quiet Wine.
export WINEPREFIX="$PWD/$build/wine-prefix"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
# The Wine server and Wine's own services are started here, detached from
# our output: started by a test program instead, they would inherit the
# output pipe of ctest (or of test discovery), which would then wait for the
# pipe to close for ever.
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine wineboot --init </dev/null >/dev/null 2>&1

echo "== Windows build (MinGW-w64) and tests under Wine"
cmake -G Ninja -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo --no-warn-unused-cli >/dev/null
cmake --build "$build" -j "$jobs"

# Tests that Wine cannot run as Windows would, or that assume POSIX:
#  - symbolic links: Wine cannot create them;
#  - the listener's error text: the test expects the POSIX errno text;
#  - the SCADA file: the test deletes the file while it still has it open,
#    which Windows refuses.
wine_gaps='^(InstanceLockTest\.SameFolderSpelledDifferentlyIsStillTheSameFolder'
wine_gaps+='|FilesTest\.ListingHoldsOnlyVisibleOrdinaryFiles'
wine_gaps+='|TcpListenerTest\.UnusablePortGivesThePlatformErrorText'
wine_gaps+='|SupervisorTest\.QueueStatesAndTheirCommands)$'
ctest --test-dir "$build" --output-on-failure -j "$jobs" -E "$wine_gaps"

# --- The Windows gateway as a whole, under Wine ------------------------------

echo "== End to end: the Windows gateway between the Linux simulators"
if [[ ! -f build/build.ninja ]]; then
    cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$jobs" --target kelvarix-pbxsim kelvarix-alarmsim

home=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-win.XXXXXX")
pbx_pid=""
gateway_pid=""
cleanup() {
    for pid in $gateway_pid $pbx_pid; do kill "$pid" 2>/dev/null || true; done
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$home"
}
trap cleanup EXIT

fail() {
    echo "test-windows.sh: $*" >&2
    for file in "$home"/*.out "$home"/LogFiles/*.Log; do
        [[ -f $file ]] && { echo "--- $file"; tr -d '\r' <"$file" | tail -n 40; }
    done
    exit 1
}

# Waits until the file holds the text (at most the given seconds).
wait_for() {
    local file=$1 text=$2 seconds=$3
    local deadline=$((SECONDS + seconds))
    until grep -qF -- "$text" "$file" 2>/dev/null; do
        ((SECONDS < deadline)) || fail "no \"$text\" in $file after $seconds s"
        sleep 0.2
    done
    echo "ok: $text"
}

expect() {
    grep -qF -- "$2" "$1" || fail "expected \"$2\" in $1"
    echo "ok: $2"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The program folder is the folder of kelvarix.exe: a copy of it, with its
# settings and logs, in a folder of its own.
cp "$build/kelvarix.exe" "$home/"
build/kelvarix-pbxsim --port 0 --auto-ack 300 >"$home/pbxsim.out" 2>&1 </dev/null &
pbx_pid=$!
wait_for "$home/pbxsim.out" "listening " 10
pbx_port=$(sed -n '1s/^listening //p' "$home/pbxsim.out")
server_port=$(free_port)
cat >"$home/Kelvarix.ini" <<INI
[Orvane]
ServerPort=$server_port
ListenAddress=127.0.0.1
[ATAS]
IPAddress=127.0.0.1
PortNumber=$pbx_port
Username=kelvarix
Password=kelvarix
ConnectTimeout=5
ReconnectInterval=1
CommandTimeout=3
HeartbeatInterval=60
SM_Read=Read
SM_Acknowledge=Acknowledge
SendMCA=1
QueueDeleteTime=2
INI
log() { echo "$home/LogFiles/$(date +%Y-%m-%d).Log"; }

wine "$home/kelvarix.exe" >"$home/gateway.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for "$(log)" "Successfully set menu (SM)" 60
expect "$(log)" "Orvane server socket port $server_port was set in listening mode"

# One alarm: the alarm server hears "sent (ID)", the PBX's terminal
# acknowledges it, the gateway reports that with MCA and cleans its queue.
build/kelvarix-alarmsim --port "$server_port" '1|0|88|4711|2001||Fire alarm room 12|FIRE-2' \
    >"$home/alarmsim.out" 2>&1 || fail "the alarm server simulator failed"
expect "$home/alarmsim.out" "reply: sent (4711)"
wait_for "$(log)" "Sent MCA to PBX" 30
wait_for "$(log)" "Removed old or deleted message from queue" 30
kill "$gateway_pid"
wait "$gateway_pid" 2>/dev/null || true
gateway_pid=""

echo "== Service installation, removal and a start in service mode under Wine"
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kelvarix'
wine "$home/kelvarix.exe" -I >"$home/install.out" 2>&1 </dev/null
expect "$home/install.out" "Kelvarix: Quorsyn Kelvarix service service installation succeeded"
wine reg query "$service_key\\Parameters" /v RunAsService 2>/dev/null | tr -d '\r' >"$home/reg.out"
grep -qE 'RunAsService +REG_SZ +1$' "$home/reg.out" || fail "RunAsService is not 1"
echo "ok: RunAsService REG_SZ 1"
wine reg query "$service_key" /v Start 2>/dev/null | tr -d '\r' >"$home/reg.out"
grep -qE 'Start +REG_DWORD +0x2$' "$home/reg.out" || fail "the service does not start automatically"
echo "ok: automatic start"

# Started by hand, the setting still makes it a service: the event-log entry.
WINEDEBUG=-all,+eventlog wine "$home/kelvarix.exe" >"$home/service.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for "$home/service.out" 'ReportEventW L"Quorsyn Kelvarix started"' 60
kill "$gateway_pid"
wait "$gateway_pid" 2>/dev/null || true
gateway_pid=""

wine "$home/kelvarix.exe" -U >"$home/remove.out" 2>&1 </dev/null
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
