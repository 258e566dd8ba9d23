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
    "$build/kelvarix-pbxsim" --port "$atas_port" --auto-ack 1000 >"$work/pbx-$count.out" 2>&1 </dev/null &
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

python3 - "$work" "$minutes" <<'PY'
import glob, os, re, sys, time

work, minutes = sys.argv[1], sys.argv[2]
def read(path): return open(path, encoding="latin-1").read()

owed, replies = {}, {}  # alarm id -> status of its line; -> reply words
for path in glob.glob(os.path.join(work, "run-*.txt")):
    for line in read(path).splitlines():
        fields = line.split("|")
        owed[fields[3]] = int(fields[0])
    for word, ident in re.findall(r"^reply: (\w+) \((.*)\)$", read(path[:-4] + ".out"), re.M):
        replies.setdefault(ident, []).append(word)
no_reply = [i for i in owed if i not in replies]
several = [i for i, words in replies.items() if len(words) > 1 or i not in owed]
delivered = [i for i, w in replies.items() if w[0] in ("sent", "buffered") and owed.get(i) in (1, 3)]

def seen_at_pbx():
    seen = {}
    for path in glob.glob(os.path.join(work, "pbx-*.out")):
        for ident in re.findall(r"^recv: SA<9>([^<]*)<9>", read(path), re.M):
            seen[ident] = seen.get(ident, 0) + 1
    return seen
give_up = time.time() + 60
while True:
    seen = seen_at_pbx()
    missing_at_pbx = [i for i in delivered if i not in seen]
    if not missing_at_pbx or time.time() > give_up:
        break
    time.sleep(1)

rss = [int(l) for l in read(os.path.join(work, "rss.txt")).split()] or [0]
quarter = max(1, len(rss) // 4)
middle, last = rss[quarter:3 * quarter] or rss, rss[3 * quarter:] or rss
log = "".join(read(p) for p in glob.glob(os.path.join(work, "LogFiles", "*.Log")))
words = [w for ws in replies.values() for w in ws]

print("\n== soak summary (%s min)" % minutes)
print("lines sent: %d in %d connections; replies: %d  sent=%d failed=%d buffered=%d" % (
    len(owed), len(glob.glob(os.path.join(work, "run-*.txt"))), len(words),
    words.count("sent"), words.count("failed"), words.count("buffered")))
print("missing: %d  doubled or unexpected: %d" % (len(no_reply), len(several)))
print("PBX runs: %d; gateway logins: %d; links the PBX closed: %d; failed connection attempts: %d" % (
    len(glob.glob(os.path.join(work, "pbx-*.out"))), log.count("Successfully connected to"),
    log.count("ATAS socket was closed ("), log.count("Failed to connect to")))
print("alarms answered sent or buffered: %d, not seen at the PBX: %d, seen more than once: %d" % (
    len(delivered), len(missing_at_pbx), sum(1 for n in seen.values() if n > 1)))
print("gateway VmRSS KiB: first %d, max %d, last %d; max of middle half %d, of last quarter %d" % (
    rss[0], max(rss), rss[-1], max(middle), max(last)))
# Levelled off: the last quarter does not go beyond the middle half by more
# than 4 MiB (the queue of the last 30 s and the log writer come and go).
checks = {
    "every line answered once": not no_reply and not several,
    "every alarm answered sent or buffered reached the PBX": not missing_at_pbx,
    "memory levelled off": len(rss) > 1 and max(last) <= max(middle) + 4096,
}
for name, ok in checks.items():
    print("%-55s %s" % (name + ":", "ok" if ok else "FAILED"))
for label, ids in (("no reply", no_reply), ("doubled", several), ("not at the PBX", missing_at_pbx)):
    if ids:
        print("%s: %s" % (label, " ".join(sorted(ids)[:20])))
sys.exit(0 if all(checks.values()) else 1)
PY
