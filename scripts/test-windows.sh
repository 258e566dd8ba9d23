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
# shellcheck source=scripts/lib/checks.sh
source scripts/lib/checks.sh

export WINEPREFIX="$PWD/$build/wine-prefix"
export WINEDEBUG=-all
# No display unless given the virtual one: a message box (of -I, -U) on a
# real display would wait for a click. The program folder is kelvarix.exe's.
unset DISPLAY KELVARIX_HOME
mkdir -p "$WINEPREFIX"
services_out="$PWD/$build/wine-services.out"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
start_wine "$services_out"
# A run that ended half-way may have left its service registered, which would
# make every start below a service start, without a window.
wine sc delete Kelvarix >/dev/null 2>&1 </dev/null || true

echo "== Windows build (MinGW-w64) and tests under Wine"
cmake -G Ninja -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARIX_WERROR=ON --no-warn-unused-cli >/dev/null
cmake --build "$build" -j "$jobs"

# Wine cannot create symbolic links. On a busy machine it now and then ends a
# program before it has run a line (empty output, within milliseconds): such a
# test gets one more try; a test that fails on its own code fails both times.
wine_gaps='^InstanceLockTest\.SameFolderSpelledDifferentlyIsStillTheSameFolder$'
ctest --test-dir "$build" --output-on-failure -j "$jobs" -E "$wine_gaps" --repeat until-pass:2

echo "== End to end: the Windows gateway between the Linux simulators"
[[ -f build/build.ninja ]] ||
    cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=Release -DKELVARIX_WERROR=ON >/dev/null
cmake --build build -j "$jobs" --target kelvarix-pbxsim kelvarix-alarmsim

home=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-win.XXXXXX")
pbx_pid="" gateway_pid="" xvfb_pid=""
cleanup() {
    for pid in $gateway_pid $pbx_pid; do kill "$pid" 2>/dev/null || true; done
    wineserver -k >/dev/null 2>&1 || true
    stop_child "$xvfb_pid"
    rm -rf "$home"
}
trap cleanup EXIT

# What the gateway, the simulators and Wine's services wrote, shown on failure.
on_failure() {
    for file in "$home"/*.out "$home"/LogFiles/*.Log "${program_files:-$home}"/LogFiles/*.Log "$services_out"; do
        [[ -f $file ]] && { echo "--- $file"; tr -d '\r' <"$file" | tail -n 40; }
    done
}
# kelvarix.exe with the arguments, or a command in the background; output in $home/<name>.out.
exe() { local name=$1; shift; wine "$home/kelvarix.exe" "$@" >"$home/$name.out" 2>&1 </dev/null; }
start_gateway() { local name=$1; shift; "$@" >"$home/$name.out" 2>&1 </dev/null & gateway_pid=$!; }
# Closes kelvarix.exe as another program does: taskkill without /f posts WM_CLOSE.
close_gateway() { wine taskkill /im kelvarix.exe >"$home/taskkill.out" 2>&1 </dev/null || fail "taskkill failed"; }
registry() { wine reg query "$@" 2>/dev/null </dev/null | tr -d '\r'; }

# Waits until the child has ended and sets status to its exit status.
wait_exit() {
    wait_until 30 "process $1 ended" not alive "$1"
    status=0
    wait "$1" || status=$?
    gateway_pid=""
}

start_pbxsim "$home" || fail "the PBX simulator did not start"
server_port=$(free_port)
make_program_folder "$home" "$build/kelvarix.exe" "$server_port" "$pbx_port"
metrics_port=$(free_port)
printf '[Metrics]\nPort=%s\n' "$metrics_port" >>"$home/Kelvarix.ini"
log() { system_log "$home"; }

# --help shows the Windows text on standard output.
exe help --help || fail "--help failed"
expect "$home/help.out" "Usage: kelvarix.exe"
caption=$(wine "$home/kelvarix.exe" --version 2>/dev/null </dev/null | tr -d '\r')
check "--version shows \"$caption\"" grep -q '^Kelvarix - Version ' <<<"$caption"

# The gateway's window on a virtual display, where Wine's desktop now starts.
start_display "$home" || fail "Xvfb did not start"
start_wine "$services_out" "$display"
start_gateway gateway env DISPLAY="$display" wine "$home/kelvarix.exe"
wait_for "$(log)" "Successfully set menu (SM)" 60
wait_until 30 "the window \"$caption\"" window_shown "$display" "$caption"

# One alarm: "sent (4711)", then the terminal's acknowledgement goes out as MCA.
build/kelvarix-alarmsim --port "$server_port" '1|0|88|4711|2001||Fire alarm room 12|FIRE-2' \
    >"$home/alarmsim.out" 2>&1 || fail "the alarm server simulator failed"
expect "$home/alarmsim.out" "reply: sent (4711)"
wait_for "$(log)" "Sent MCA to PBX" 30
check "GET /metrics answers" python3 -c 'import sys, urllib.request as r; open(sys.argv[2], "wb").write(
    r.urlopen(sys.argv[1], timeout=5).read())' "http://127.0.0.1:$metrics_port/metrics" "$home/metrics.out"
expect "$home/metrics.out" 'kelvarix_replies_total{reply="sent"} 1'
expect "$home/metrics.out" "kelvarix_atas_session_ready 1"

# Closed by another program, the gateway writes its stop line and ends itself.
close_gateway
wait_for "$(log)" "Kelvarix was stopped (reason: Task Manager closed application)" 30
wait_exit "$gateway_pid"
check "the gateway ended by itself with status 0" test "$status" -eq 0

# Started with no standard output and no console to attach to (as from
# Explorer), --help shows its text in a message box instead.
start_gateway start env DISPLAY="$display" wine start /wait \
    "$(winepath -w "$home/kelvarix.exe" 2>/dev/null | tr -d '\r')" --help
wait_until 30 "the box titled \"Kelvarix\"" window_shown "$display" "Kelvarix"
close_gateway
wait_exit "$gateway_pid"

echo "== The gateway as a Windows service under Wine"
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Kelvarix'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Kelvarix'
gone() { not registry "$service_key" >/dev/null && not registry "$source_key" >/dev/null; }
exe install -I || fail "-I failed"
expect "$home/install.out" "Kelvarix: Quorsyn Kelvarix service service installation succeeded"
# RunAsService is proved by the start by hand below.
check "automatic start" grep -qE 'Start +REG_DWORD +0x2$' <(registry "$service_key" /v Start)
# Wine's service manager takes the recovery actions and keeps none (nor has
# its sc.exe "qfailure"): what it was handed shows in its trace.
check "recovery actions handed to the service manager" holds "$services_out" \
    "SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400"
check "the event source takes its messages from kelvarix.exe" grep -qF "EventMessageFile    REG_EXPAND_SZ    \
$(winepath -w "$home/kelvarix.exe" 2>/dev/null | tr -d '\r')" <(registry "$source_key")

# Started by hand, the setting still makes it a service: the event-log entry.
start_gateway service env WINEDEBUG=-all,+eventlog wine "$home/kelvarix.exe"
wait_for "$home/service.out" 'ReportEventW L"Quorsyn Kelvarix started"' 60
kill "$gateway_pid"
wait_exit "$gateway_pid"

# Started and stopped through Wine's service manager. "net start" returns
# once the service reports that it is starting, "net stop" once the stop is
# handed over: the rest is waited for.
service_query() { wine sc query Kelvarix 2>/dev/null </dev/null | tr -d '\r' | sed -n "s/^ *$1 *: *//p"; }
service_is() { [[ $(service_query STATE) =~ ^[0-9]+\ +$1$ ]]; }
# What the files gain from here on counts.
from=$(($(wc -l 2>/dev/null <"$(log)" || echo 0) + 1))
events=$(($(wc -l <"$services_out") + 1))
wine net start Kelvarix >"$home/net.out" 2>&1 </dev/null || fail "net start failed"
wait_for "$services_out" 'ReportEventW L"Quorsyn Kelvarix started"' 60 "$events"
wait_for "$(log)" "Successfully set menu (SM)" 60 "$from"
wait_until 30 "the service is RUNNING" service_is RUNNING
wine net stop Kelvarix >"$home/net.out" 2>&1 </dev/null || fail "net stop failed"
wait_for "$(log)" "Kelvarix was stopped (reason: By Code)" 30 "$from"
wait_for "$services_out" 'ReportEventW L"Kelvarix was stopped"' 30 "$events"
wait_until 30 "the service is STOPPED" service_is STOPPED
# Stopped with exit code 0: the service reported its own stop. A service
# process that just ended would be left stopping, or marked with an exit code.
exit_code=$(service_query WIN32_EXIT_CODE)
check "the service stopped by itself with exit code 0 ($exit_code)" grep -q '^0 ' <<<"$exit_code"

exe remove -U || fail "-U failed"
expect "$home/remove.out" "Kelvarix: Quorsyn Kelvarix service service uninstalled successfully"
check "-U took the service and the event source" gone
exe remove -U || true
expect "$home/remove.out" "Kelvarix: Quorsyn Kelvarix service failed to uninstall as service"

echo "== Windows package"
bash scripts/package-windows.sh "$build"
# shellcheck source=scripts/test-msi.sh
source scripts/test-msi.sh
