# Shared by the Windows test, the screenshot and the package scripts: the
# Wine server, a virtual display for the gateway's window, a program folder
# for kelvarix.exe next to the Linux PBX simulator, and the packages' files.
# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables set here are the caller's

# Starts the Wine server and Wine's own services for $WINEPREFIX, detached
# from our output: started by a test program instead, they would inherit the
# output pipe of ctest (or of test discovery), which would then wait for the
# pipe to close for ever. A server still running (started earlier, or by a
# run that did not end cleanly) is stopped first, so that the services below
# are the ones running.
#
# Plain "wineboot", which also sets up a new prefix: "wineboot --init" on a
# prefix that exists starts a second service manager beside the one Wine
# starts for any first program, and the two then answer service requests
# each from its own list (a service installed through one is unknown to the
# other, started by one and stopped through the other).
#
# The services that Wine's service manager starts get its output and its
# WINEDEBUG: their event-log entries (which Wine shows as ReportEventW
# traces) land in the given file, beside the manager's notes on what it
# does not implement.
#
# With a display, Wine's desktop (explorer.exe, started by wineboot) lives on
# it for as long as the server runs, and every program given DISPLAY shows its
# windows there. Without one, wineboot's desktop gives up after a moment; a
# window program started in that moment could make no window even with a
# display of its own. Programs not given DISPLAY make no windows either way.
start_wine() {
    local services_out=$1 display=${2:-}
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    if [[ -n $display ]]; then
        DISPLAY=$display WINEDEBUG=-all,+eventlog,fixme+service wine wineboot \
            </dev/null >/dev/null 2>"$services_out"
    else
        WINEDEBUG=-all,+eventlog,fixme+service wine wineboot </dev/null >/dev/null 2>"$services_out"
    fi
}

# Starts Xvfb on the first free display number, which it reports once it
# accepts clients. Sets display (":N") and xvfb_pid.
start_display() {
    local folder=$1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
        3>"$folder/display.out" >"$folder/xvfb.out" 2>&1 </dev/null &
    xvfb_pid=$!
    local deadline=$((SECONDS + 30))
    until grep -qx '[0-9][0-9]*' "$folder/display.out" 2>/dev/null; do
        ((SECONDS < deadline)) && kill -0 "$xvfb_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    display=":$(head -n 1 "$folder/display.out")"
}

# True when a top-level window of kelvarix.exe with this caption is on the
# display.
window_shown() {
    DISPLAY=$1 xwininfo -root -tree 2>/dev/null | grep -qF "\"$2\": (\"kelvarix.exe\""
}

# Starts the Linux PBX simulator on a free port, acknowledging every alarm
# from a terminal the given milliseconds (300 by default) after it took it.
# Sets pbx_pid and pbx_port.
start_pbxsim() {
    local folder=$1 ack_ms=${2:-300}
    build/kelvarix-pbxsim --port 0 --auto-ack "$ack_ms" >"$folder/pbxsim.out" 2>&1 </dev/null &
    pbx_pid=$!
    local deadline=$((SECONDS + 10))
    until grep -q '^listening ' "$folder/pbxsim.out" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
    pbx_port=$(sed -n '1s/^listening //p' "$folder/pbxsim.out")
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A program folder: a copy of kelvarix.exe with its settings.
make_program_folder() {
    cp "$2" "$1/kelvarix.exe"
    write_settings "$1" "$3" "$4"
}

# The settings of a program folder: the alarm server's port on loopback and
# the PBX simulator's.
write_settings() {
    local folder=$1 server_port=$2 pbx_port=$3
    cat >"$folder/Kelvarix.ini" <<INI
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
}

# The day's system log of a program folder.
system_log() {
    echo "$1/LogFiles/$(date +%Y-%m-%d).Log"
}

# The files that both Windows packages ship, in a new folder that is removed
# when the calling script ends: the stripped programs of a build folder and
# the example Kelvarix.ini. Sets $stage.
stage_windows_files() {
    stage=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-package.XXXXXX")
    trap 'rm -rf "$stage"' EXIT
    for program in kelvarix kelvarix-pbxsim kelvarix-alarmsim kelvarix-trace; do
        x86_64-w64-mingw32-strip -o "$stage/$program.exe" "$1/$program.exe"
    done
    cp packaging/Kelvarix.ini "$stage/"
}
