#!/usr/bin/env bash
# Soak run of the gateway on loopback: alarms at a steady rate from a series
# of alarm-server connections, while the PBX simulator is stopped and started
# again at random. At the end it checks that no reply is missing or doubled,
# that every alarm answered "buffered" reached the PBX, and that the
# gateway's resident memory levelled off, and prints the figures.
#   bash scripts/soak.sh            # 10 minutes
#   bash scripts/soak.sh 2          # 2 minutes
# KELVARIX_BUILD_DIR names a build folder to use as it is; otherwise build/
# is built first. The exit status is 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
if ! [[ $minutes =~ ^[0-9]+$ ]] || ((minutes == 0)); then
    echo "usage: soak.sh [minutes]" >&2
    exit 64
fi

rate=20                 # alarms per second
run_lines_min=60        # lines per alarm-server connection, at random between
run_lines_max=300
pbx_up_min=5 pbx_up_max=25     # seconds the PBX stays up, at random between
pbx_down_min=1 pbx_down_max=8  # seconds it stays away
rss_every=5             # seconds between samples of the gateway's memory
drain_wait=60           # seconds at the end for held-back alarms to reach the PBX

if [[ -n ${KELVARIX_BUILD_DIR:-} ]]; then
    build=$KELVARIX_BUILD_DIR
else
    build=build
    bash scripts/install-deps.sh
    cmake -G Ninja -S . -B "$build" >/dev/null
    cmake --build "$build" --target kelvarix kelvarix-pbxsim kelvarix-alarmsim
fi
for program in kelvarix kelvarix-pbxsim kelvarix-alarmsim; do
    [[ -x $build/$program ]] || { echo "soak.sh: $build/$program is missing" >&2; exit 1; }
done
build=$(cd "$build" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvarix-soak-XXXXXX")
gateway_pid=""
alarm_pid=""
sampler_pid=""
flapper_pid=""

# shellcheck source=scripts/lib/children.sh
source scripts/lib/children.sh  # the working folder is the root here

# shellcheck disable=SC2317  # reached through the trap
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    stop_child "$flapper_pid"
    stop_child "$sampler_pid"
    stop_child "$alarm_pid" INT
    [[ -f $work/pbx.pid ]] && stop_child "$(cat "$work/pbx.pid")"
    stop_child "$gateway_pid" INT
    if ((status != 0)) && [[ -z ${KELVARIX_SOAK_KEEP:-} ]]; then
        echo "soak.sh: files kept for a look in $work" >&2
    elif [[ -z ${KELVARIX_SOAK_KEEP:-} ]]; then
        rm -rf "$work"
    else
        echo "files: $work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

random_between() { echo $(($1 + RANDOM % ($2 - $1 + 1))); }

# --- the PBX simulator, on one port across restarts --------------------------

atas_port=$(free_port)
# Starts a simulator, numbered on from the last one; its output goes to
# pbx-N.out, its process id to pbx.pid.
start_pbx() {
    local count out
    count=$(($(cat "$work/pbx-count" 2>/dev/null || echo 0) + 1))
    echo "$count" >"$work/pbx-count"
    out=$work/pbx-$count.out
    # Each alarm is acknowledged at a terminal a second after the PBX took it,
    # so the acknowledgement and deletion commands run as well.
    "$build/kelvarix-pbxsim" --port "$atas_port" --auto-ack 1000 >"$out" 2>&1 </dev/null &
    echo $! >"$work/pbx.pid"
    for _ in $(seq 100); do
        grep -q '^listening' "$out" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "soak.sh: the PBX simulator did not start on port $atas_port" >&2
    cat "$out" >&2
    return 1
}

# --- the gateway --------------------------------------------------------------

server_port=$(free_port)
cat >"$work/Kelvarix.ini" <<EOF
[General]
LogFileDays=30

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
for _ in $(seq 100); do
    grep -q "Kelvarix was started" "$work/gateway.out" 2>/dev/null && break
    sleep 0.05
done
grep -q "Kelvarix was started" "$work/gateway.out" || { echo "soak.sh: the gateway did not start" >&2; exit 1; }

# Memory every few seconds: seconds since the start and VmRSS in KiB.
(
    start=$SECONDS
    while kill -0 "$gateway_pid" 2>/dev/null; do
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$gateway_pid/status" 2>/dev/null || true)
        [[ -n $rss ]] && echo "$((SECONDS - start)) $rss" >>"$work/rss.txt"
        sleep "$rss_every"
    done
) &
sampler_pid=$!

# The PBX goes away and comes back at random until told to stop.
(
    trap 'exit 0' TERM
    while :; do
        sleep "$(random_between $pbx_up_min $pbx_up_max)"
        [[ -f $work/stop-flapping ]] && exit 0
        pid=$(cat "$work/pbx.pid")
        kill -TERM "$pid" 2>/dev/null || true
        while alive "$pid"; do sleep 0.05; done
        echo down >>"$work/flaps.txt"
        sleep "$(random_between $pbx_down_min $pbx_down_max)"
        start_pbx || exit 1
    done
) &
flapper_pid=$!

echo "soak: $minutes min, $rate alarms/s, gateway pid $gateway_pid, files in $work"

# --- the alarm server: one connection after the other -------------------------

deadline=$((SECONDS + minutes * 60))
interval_ms=$((1000 / rate))
run=0
while ((SECONDS < deadline)); do
    run=$((run + 1))
    lines=$(random_between $run_lines_min $run_lines_max)
    # Mostly alarms (status 1 and 3); every tenth line the alarm server
    # acknowledges an alarm of this run itself (status 2, by tag).
    for ((n = 1; n <= lines; n++)); do
        if ((n % 10 == 0)); then
            printf '2|0|E%d-%d|K%d-%d|2001|||T%d-%d\n' "$run" $((n - 5)) "$run" "$n" "$run" $((n - 5))
        else
            printf '%d|0|E%d-%d|S%d-%d|%d||Soak alarm %d of run %d|T%d-%d\n' \
                $((n % 7 == 0 ? 3 : 1)) "$run" "$n" "$run" "$n" $((2001 + n % 4)) "$n" "$run" "$run" "$n"
        fi
    done >"$work/run-$run.txt"
    "$build/kelvarix-alarmsim" --port "$server_port" --interval "$interval_ms" --wait 10000 \
        --file "$work/run-$run.txt" >"$work/run-$run.out" 2>&1 </dev/null &
    alarm_pid=$!
    wait "$alarm_pid" || true
    alarm_pid=""
    sleep "0.$(random_between 0 9)"  # the alarm server reconnects
done

# --- the end: the PBX stays up until the held-back alarms are through ---------

touch "$work/stop-flapping"
stop_child "$flapper_pid"
flapper_pid=""
# The flapper may have stopped the PBX last: then one is started for the end.
alive "$(cat "$work/pbx.pid")" || start_pbx

python3 - "$work" "$drain_wait" "$minutes" <<'PY'
import glob, os, re, sys, time

work, drain_wait, minutes = sys.argv[1], int(sys.argv[2]), sys.argv[3]

# Replies per line of each run, from the lines the alarm-server client printed.
owed = {}       # id -> status of its line
replies = {}    # id -> list of reply words
missing = doubled = unexpected = runs = failed_runs = 0
for path in sorted(glob.glob(os.path.join(work, "run-*.txt"))):
    runs += 1
    for line in open(path, encoding="latin-1"):
        fields = line.rstrip("\n").split("|")
        owed[fields[3]] = int(fields[0])
    out = open(path[:-4] + ".out", encoding="latin-1").read()
    for word, ident in re.findall(r"^reply: (\w+) \((.*)\)$", out, re.M):
        replies.setdefault(ident, []).append(word)
    report = dict(re.findall(r"^(missing|doubled|unexpected): (\d+)$", out, re.M))
    if len(report) != 3:
        failed_runs += 1
    missing += int(report.get("missing", 0))
    doubled += int(report.get("doubled", 0))
    unexpected += int(report.get("unexpected", 0))

counts = {}
for ident, words in replies.items():
    for word in words:
        counts[word] = counts.get(word, 0) + 1
no_reply = [i for i in owed if i not in replies]
several = [i for i, w in replies.items() if len(w) > 1]

def sa_counts():
    seen = {}
    for path in glob.glob(os.path.join(work, "pbx-*.out")):
        for ident in re.findall(r"^recv: SA<9>([^<]*)<9>", open(path, encoding="latin-1").read(), re.M):
            seen[ident] = seen.get(ident, 0) + 1
    return seen

buffered = [i for i, w in replies.items() if w[0] == "buffered" and owed.get(i) in (1, 3)]
sent = [i for i, w in replies.items() if w[0] == "sent" and owed.get(i) in (1, 3)]
give_up = time.time() + drain_wait
while True:
    seen = sa_counts()
    undelivered = [i for i in buffered if i not in seen]
    if not undelivered or time.time() > give_up:
        break
    time.sleep(1)
sent_not_seen = [i for i in sent if i not in seen]
resent = [i for i, n in seen.items() if n > 1]

rss_path = os.path.join(work, "rss.txt")
samples = [tuple(map(int, l.split())) for l in open(rss_path) if l.strip()] if os.path.exists(rss_path) else []
rss = [kib for _, kib in samples]
quarter = max(1, len(rss) // 4)
middle = rss[quarter:3 * quarter] or rss or [0]
last = rss[3 * quarter:] or rss or [0]
# Levelled off: the last quarter does not go beyond the middle half by more
# than 4 MiB (the queue of the last 30 s and the log writer come and go).
levelled = max(last) <= max(middle) + 4096

flaps = sum(1 for _ in open(os.path.join(work, "flaps.txt"))) if os.path.exists(os.path.join(work, "flaps.txt")) else 0
log = "".join(open(p, encoding="latin-1").read() for p in glob.glob(os.path.join(work, "LogFiles", "*.Log")))

print()
print("== soak summary (%s min)" % minutes)
print("alarm-server connections: %d (reports missing from %d)" % (runs, failed_runs))
print("lines sent: %d  (alarms %d, acknowledgements %d)" % (
    len(owed), sum(1 for s in owed.values() if s in (1, 3)), sum(1 for s in owed.values() if s == 2)))
failed_alarms = sum(1 for i, w in replies.items() for x in w if x == "failed" and owed.get(i) in (1, 3))
print("replies: %d  sent=%d failed=%d (of them alarms %d) buffered=%d" % (
    sum(counts.values()), counts.get("sent", 0), counts.get("failed", 0), failed_alarms,
    counts.get("buffered", 0)))
print("missing: %d (client reports %d)  doubled: %d (client reports %d)  unexpected: %d" % (
    len(no_reply), missing, len(several), doubled, unexpected))
print("PBX stopped and started again: %d times; gateway logins: %d; links the PBX closed: %d; "
      "failed connection attempts: %d" % (
    flaps, log.count("Successfully connected to"), log.count("ATAS socket was closed ("),
    log.count("Failed to connect to")))
print("buffered alarms: %d, reached the PBX: %d, not: %d" % (
    len(buffered), len(buffered) - len(undelivered), len(undelivered)))
print("alarms answered sent but not seen at the PBX: %d" % len(sent_not_seen))
print("alarms the PBX got more than once (sent again after a lost link): %d" % len(resent))
if rss:
    print("gateway VmRSS KiB: first %d, max %d, last %d; max of middle half %d, of last quarter %d (%d samples)" % (
        rss[0], max(rss), rss[-1], max(middle), max(last), len(rss)))
checks = {
    "every line answered": not no_reply and missing == 0 and failed_runs == 0,
    "no reply doubled or unexpected": not several and doubled == 0 and unexpected == 0,
    "every buffered alarm reached the PBX": not undelivered and not sent_not_seen,
    "memory levelled off": bool(rss) and levelled,
}
for name, ok in checks.items():
    print("%-40s %s" % (name + ":", "ok" if ok else "FAILED"))
for label, ids in (("no reply", no_reply), ("doubled", several), ("undelivered", undelivered)):
    if ids:
        print("%s: %s" % (label, " ".join(sorted(ids)[:20])))
sys.exit(0 if all(checks.values()) else 1)
PY
