#!/usr/bin/env bash
# Soak run of the gateway on loopback: alarms at a steady rate from a series
# of alarm-server connections, while the PBX simulator is stopped and started
# again at random. At the end it checks that every line got exactly one
# reply, that every alarm answered "sent" or "buffered" reached the PBX, and
# that the gateway's resident memory levelled off, and prints the figures.
#   bash scripts/soak.sh            # 10 minutes
#   bash scripts/soak.sh 2          # 2 minutes
# KELVARIX_BUILD_DIR names a build folder to use as it is; otherwise build/
# is built first. KELVARIX_SOAK_KEEP=1 keeps the files. The exit status is 0
# when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
if ! [[ $minutes =~ ^[0-9]+$ ]] || ((minutes == 0)); then
    echo "usage: soak.sh [minutes]" >&2
    exit 64
fi
rate=20                        # alarms per second
run_lines_min=60 run_lines_max=300  # lines per alarm-server connection
pbx_up_min=5 pbx_up_max=25     # seconds the PBX stays up
pbx_down_min=1 pbx_down_max=8  # seconds it stays away

build=${KELVARIX_BUILD_DIR:-}
if [[ -z $build ]]; then
    build=build
    bash scripts/install-deps.sh
    cmake -G Ninja -S . -B "$build" >/dev/null
    cmake --build "$build" --target kelvarix kelvarix-pbxsim kelvarix-alarmsim
fi
build=$(cd "$build" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-soak-XXXXXX")
gateway_pid="" alarm_pid="" sampler_pid="" flapper_pid=""

# shellcheck source=scripts/lib/children.sh
source scripts/lib/children.sh

# shellcheck disable=SC2317  # reached through the trap
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    stop_child "$flapper_pid"
    stop_child "$sampler_pid"
    stop_child "$alarm_pid" INT
    [[ -f $work/pbx.pid ]] && stop_child "$(cat "$work/pbx.pid")"
    stop_child "$gateway_pid" INT
    if [[ -n ${KELVARIX_SOAK_KEEP:-} || $status != 0 ]]; then
        echo "files: $work" >&2
    else
        rm -rf "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
random_between() { echo $(($1 + RANDOM % ($2 - $1 + 1))); }
# Until the file holds the text, for at most 5 s.
wait_for() { for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# The PBX simulator, always on one port; each run's output in pbx-N.out.
# Each alarm is acknowledged at a terminal a second after the PBX took it,
# so the acknowledgement and deletion commands run as well.
atas_port=$(free_port)
start_pbx() {
    local count
    count=$(($(cat "$work/pbx-count" 2>/dev/null || echo 0) + 1))
    echo "$count" >"$work/pbx-count"
    "$build/kelvarix-pbxsim" --port "$atas_port" --auto-ack 1000 --quiet --stamps "$work/sa-$count.txt" \
        >"$work/pbx-$count.out" 2>&1 </dev/null &
    echo $! >"$work/pbx.pid"
    wait_for "$work/pbx-$count.out" '^listening' || { echo "soak.sh: the PBX simulator did not start" >&2; return 1; }
}

server_port=$(free_port)
cat >"$work/Kelvarix.ini" <<EOF
[Orvane]
ServerPort=$server_port
ListenAddress=127.0.0.1
[ATAS]
IPAddress=127.0.0.1
PortNumber=$atas_port
Username=kelvarix
Password=kelvarix
ConnectTimeout=2
ReconnectInterval=1
CommandTimeout=2
HeartbeatInterval=8
BufferWhenDisconnected=1
MaxBufferedMessages=100000
QueueDeleteTime=30
EOF
start_pbx
KELVARIX_HOME=$work/ "$build/kelvarix" >"$work/gateway.out" 2>&1 </dev/null &
gateway_pid=$!
wait_for "$work/gateway.out" "Kelvarix was started" || { echo "soak.sh: the gateway did not start" >&2; exit 1; }

# The gateway's VmRSS in KiB every 5 s.
(while kill -0 "$gateway_pid" 2>/dev/null; do
    awk '/^VmRSS:/ { print $2 }' "/proc/$gateway_pid/status" >>"$work/rss.txt" 2>/dev/null || true
    sleep 5
done) &
sampler_pid=$!

# The PBX goes away and comes back at random until told to stop.
(
    trap 'exit 0' TERM
    while sleep "$(random_between $pbx_up_min $pbx_up_max)" && [[ ! -f $work/stop-flapping ]]; do
        pid=$(cat "$work/pbx.pid")
        kill -TERM "$pid" 2>/dev/null || true
        while alive "$pid"; do sleep 0.05; done
        sleep "$(random_between $pbx_down_min $pbx_down_max)"
        start_pbx || exit 1
    done
) &
flapper_pid=$!
echo "soak: $minutes min, $rate alarms/s, gateway pid $gateway_pid, files in $work"

# The alarm server: one connection after the other. Mostly alarms (status 1
# and 3); every tenth line acknowledges an alarm of the run itself (status 2).
deadline=$((SECONDS + minutes * 60))
run=0
while ((SECONDS < deadline)); do
    run=$((run + 1))
    lines=$(random_between $run_lines_min $run_lines_max)
    for ((n = 1; n <= lines; n++)); do
        if ((n % 10 == 0)); then
            printf '2|0|E%d-%d|K%d-%d|2001|||T%d-%d\n' "$run" $((n - 5)) "$run" "$n" "$run" $((n - 5))
        else
            printf '%d|0|E%d-%d|S%d-%d|%d||Soak alarm %d of run %d|T%d-%d\n' \
                $((n % 7 == 0 ? 3 : 1)) "$run" "$n" "$run" "$n" $((2001 + n % 4)) "$n" "$run" "$run" "$n"
        fi
    done >"$work/run-$run.txt"
    "$build/kelvarix-alarmsim" --port "$server_port" --interval $((1000 / rate)) --wait 10000 \
        --file "$work/run-$run.txt" >"$work/run-$run.out" 2>&1 </dev/null &
    alarm_pid=$!
    wait "$alarm_pid" || true
    alarm_pid=""
    sleep "0.$(random_between 0 9)"  # the alarm server reconnects
done

# The end: the PBX stays up until the held-back alarms are through.
touch "$work/stop-flapping"
stop_child "$flapper_pid"
flapper_pid=""
alive "$(cat "$work/pbx.pid")" || start_pbx

# Every line got exactly one reply: the replies' ids are the lines' ids.
cd "$work"
cut -d'|' -f4 run-*.txt | sort >owed.txt
sed -n 's/^reply: [a-z]* (\(.*\))$/\1/p' run-*.out | sort >answered.txt
# Every alarm (ids S...) answered sent or buffered reached the PBX, whose
# simulators note each SA they receive; held-back ones get a minute.
sed -n 's/^reply: \(sent\|buffered\) (\(S.*\))$/\2/p' run-*.out | sort >delivered.txt
for _ in $(seq 60); do
    cut -d' ' -f1 sa-*.txt | sort >seen.txt
    comm -23 delivered.txt <(uniq seen.txt) >not-seen.txt
    [[ -s not-seen.txt ]] || break
    sleep 1
done
# Memory levelled off: the last quarter of the samples stays within 4 MiB of
# the middle half's peak (the queue of the last 30 s and the log writer come and go).
levelled=$(awk '{ rss[NR] = $1 } END { q = int(NR / 4); for (i = q + 1; i <= NR; i++) {
    if (i <= 3 * q && rss[i] > middle) middle = rss[i]; if (i > 3 * q && rss[i] > last) last = rss[i] }
    printf "first %d, last %d; max of middle half %d, of last quarter %d (%d samples)", rss[1], rss[NR], middle, last, NR
    exit !(q > 0 && last <= middle + 4096) }' rss.txt) && memory=ok || memory=FAILED

echo
echo "== soak summary ($minutes min)"
echo "lines: $(wc -l <owed.txt) in $run connections; replies: $(wc -l <answered.txt):" \
    "$(sed -n 's/^reply: \([a-z]*\) .*/\1/p' run-*.out | sort | uniq -c | tr -s ' \n' ' ')"
echo "PBX runs: $(cat pbx-count); gateway logins: $(cat LogFiles/*.Log | grep -c 'Successfully connected to');" \
    "failed connection attempts: $(cat LogFiles/*.Log | grep -c 'Failed to connect to')"
echo "alarms answered sent or buffered: $(wc -l <delivered.txt), at the PBX more than once: $(uniq -d seen.txt | wc -l)"
echo "gateway VmRSS KiB: $levelled"
status=0
check() {
    printf '%-55s %s\n' "$1:" "$2"
    [[ $2 == ok ]] || status=1
}
check "every line answered once" "$(diff -q owed.txt answered.txt >/dev/null && echo ok || echo FAILED)"
check "every alarm answered sent or buffered reached the PBX" "$([[ -s not-seen.txt ]] && echo FAILED || echo ok)"
check "memory levelled off" "$memory"
diff owed.txt answered.txt | head -20
head -20 not-seen.txt
exit "$status"
