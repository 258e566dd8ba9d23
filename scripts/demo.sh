#!/usr/bin/env bash
# Runs the gateway against the bundled PBX simulator on this machine and plays
# a few alarms through it. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'EOF'
Usage: bash scripts/demo.sh [--once] [--help]

Builds Kelvarix (release build, in build/), then, in a temporary program
folder on 127.0.0.1:
  - starts the PBX simulator, which acknowledges every alarm from a terminal
    1.5 s after accepting it,
  - starts the gateway against it and waits until its ATAS session is set up,
  - plays the alarm server: one fire alarm to two destinations of the same
    event, and a gas alarm that the alarm server acknowledges itself,
  - shows the ATAS exchanges, the replies to the alarm server, the gateway's
    system log and the SCADA acknowledgement file.
Then it shows the gateway's lines as they come until Ctrl+C, which stops
both programs and removes the temporary folder.

  --once   stop after showing the results (the default when standard input
           is not a terminal, as in CI)
  --help   show this text
EOF
}

once=0
for argument in "$@"; do
    case $argument in
        --once) once=1 ;;
        -h | --help) usage; exit 0 ;;
        *) echo "demo.sh: unknown option '$argument'" >&2; usage >&2; exit 64 ;;
    esac
done
[[ -t 0 ]] || once=1

build=build
home=""
pbx_pid=""
gateway_pid=""
live=0

section() { printf '\n===== %s =====\n' "$*"; }

# shellcheck source=scripts/lib/children.sh
source scripts/lib/children.sh  # the working folder is the root here

# shellcheck disable=SC2317  # reached through the trap
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    # SIGINT, as Ctrl+C in the gateway's own window would be.
    stop_child "$gateway_pid" INT
    stop_child "$pbx_pid" TERM
    if ((live)); then
        echo
        grep -F "Kelvarix was stopped" "$home/gateway.out" || true
    fi
    [[ -n $home ]] && rm -rf "$home"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Waits until the file holds the text, at most the given seconds; fails early
# when the process that writes the file has ended.
wait_for() {
    local file=$1 text=$2 seconds=$3 pid=$4
    local deadline=$((SECONDS + seconds))
    until grep -qF -- "$text" "$file" 2>/dev/null; do
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "demo.sh: the program writing $file ended before \"$text\"" >&2
            return 1
        fi
        if ((SECONDS >= deadline)); then
            echo "demo.sh: no \"$text\" in $file after $seconds s" >&2
            return 1
        fi
        sleep 0.1
    done
}

# Waits until the gateway's output holds the text at least count times.
wait_for_count() {
    local text=$1 count=$2 seconds=$3
    local deadline=$((SECONDS + seconds))
    until (($(grep -cF -- "$text" "$home/gateway.out" || true) >= count)); do
        if ((SECONDS >= deadline)); then
            echo "demo.sh: fewer than $count \"$text\" lines from the gateway after $seconds s" >&2
            return 1
        fi
        sleep 0.1
    done
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Control characters as the project's tools show them: TAB as <9>, CR as <13>.
visible() { sed -e 's/\t/<9>/g' -e 's/\r/<13>/g' "$@"; }

# Lets the demo go on after a failure long enough to show what the programs said.
show_outputs_and_fail() {
    section "PBX simulator output"
    cat "$home/pbxsim.out" 2>/dev/null || true
    section "Gateway output"
    cat "$home/gateway.out" 2>/dev/null || true
    exit 1
}

section "Installing what is missing"
bash scripts/install-deps.sh
echo "All build packages are present."

section "Building (release) in $build/"
cmake -G Ninja -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target kelvarix kelvarix-pbxsim kelvarix-alarmsim

home=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-demo.XXXXXX")

section "Starting the PBX simulator"
pbx_args=(--port 0 --user demo --password demo-secret --auto-ack 1500)
echo "kelvarix-pbxsim ${pbx_args[*]}"
"$build/kelvarix-pbxsim" "${pbx_args[@]}" >"$home/pbxsim.out" 2>&1 </dev/null &
pbx_pid=$!
wait_for "$home/pbxsim.out" "listening " 10 "$pbx_pid" || show_outputs_and_fail
pbx_port=$(sed -n '1s/^listening //p' "$home/pbxsim.out")
server_port=$(free_port)
echo "PBX simulator listening on 127.0.0.1:$pbx_port"

cat >"$home/Kelvarix.ini" <<EOF
[General]
LogFileDays=30

[Orvane]
ServerPort=$server_port
ListenAddress=127.0.0.1

[ATAS]
IPAddress=127.0.0.1
PortNumber=$pbx_port
Username=demo
Password=demo-secret
ConnectTimeout=5
ReconnectInterval=2
CommandTimeout=3
HeartbeatInterval=60
SM_Read=Read
SM_Acknowledge=Acknowledge
SendMCA=1
BufferWhenDisconnected=1
MaxBufferedMessages=100
SCADAAckFile=$home/scada-ack.txt
EOF

section "Starting the gateway"
echo "Program folder: $home"
echo "Alarm server port: 127.0.0.1:$server_port"
KELVARIX_HOME=$home "$build/kelvarix" >"$home/gateway.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for "$home/gateway.out" "Successfully set menu (SM)" 20 "$gateway_pid" || show_outputs_and_fail
echo "ATAS session is set up."

alarmsim() {
    "$build/kelvarix-alarmsim" --port "$server_port" "$@" >"$home/alarmsim.out" 2>&1 || {
        cat "$home/alarmsim.out"
        show_outputs_and_fail
    }
    grep -E '^(reply|replies|missing|doubled|unexpected):' "$home/alarmsim.out"
}

section "Alarm server: three alarms, half a second apart"
alarms=('1|0|88|4711|2001||Fire alarm room 12|FIRE-2'
        '1|0|88|4712|2002||Fire alarm room 12|FIRE-2'
        '1|0|90|4800|2003|T7|Gas leak hall B|GAS-1')
printf 'line:  %s\n' "${alarms[@]}"
alarmsim --interval 500 "${alarms[@]}"

section "Alarm server: acknowledges the gas alarm"
ack='2|0|90|4800|2003|||GAS-1'
printf 'line:  %s\n' "$ack"
alarmsim "$ack"

# A terminal acknowledges the fire alarm at one destination (MCA, SCADA
# line), the other destination is deleted (DA), and so is the gas alarm.
wait_for_count "Sent MCA to PBX" 1 15 || show_outputs_and_fail
wait_for_count "Deleted message from PBX" 2 15 || show_outputs_and_fail
wait_for "$home/scada-ack.txt" "FIRE-2" 5 "$gateway_pid" || show_outputs_and_fail

section "ATAS exchanges (as the PBX simulator saw them)"
cat "$home/pbxsim.out"

section "Gateway system log (LogFiles/*.Log)"
cat "$home"/LogFiles/*.Log | tr -d '\r'

section "SCADA acknowledgement file (tag, alarm, event, terminal; TAB = <9>, CR = <13>)"
visible "$home/scada-ack.txt"

if ((once)); then
    section "Done"
    exit 0
fi

section "The gateway's lines as they come (Ctrl+C stops)"
live=1
tail -n 5 --pid="$gateway_pid" -f "$home/gateway.out"
echo "demo.sh: the gateway ended by itself" >&2
exit 1
