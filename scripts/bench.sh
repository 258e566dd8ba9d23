#!/usr/bin/env bash
# Measures the gateway against the machine it runs on, all in one run:
#  - the core benchmarks (Google Benchmark);
#  - throughput and latency end to end (alarm tool -> gateway -> PBX simulator
#    answering at once) beside the raw loopback round trip of the same bytes;
#  - cost, memory and idle CPU with 1,000,000 alarms queued;
#  - memory under a flood of alarms while the PBX is down.
#   bash scripts/bench.sh            # full run (a few minutes)
#   QUEUE_FILL=100000 bash scripts/bench.sh   # a quicker run with a smaller queue
set -euo pipefail
cd "$(dirname "$0")/.."
fill=${QUEUE_FILL:-1000000}
flood=${FLOOD:-1000000}

bash scripts/install-deps.sh
cmake -G Ninja -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKELVARIX_TESTS=OFF \
    -DKELVARIX_BENCH=ON >/dev/null
cmake --build build-release -j "$(nproc)" >/dev/null
bin=$PWD/build-release
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "machine: $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "== core benchmarks"
"$bin/kelvarix_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E '^(BM_|-|Benchmark)'

json() { grep '^{' | tail -1; }
field() { python3 -c "import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])" "$1" "$2"; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

start_pair() {  # folder, extra ini lines -> sets gateway_pid, pbx_pid, server_port
    local folder=$1 extra=$2
    mkdir -p "$folder"
    "$bin/kelvarix-pbxsim" --port 0 --quiet --no-heartbeat-check --stamps "$folder/sa.txt" \
        >"$folder/pbx.out" 2>&1 &
    pbx_pid=$!
    pids+=($pbx_pid)
    until [[ -s $folder/pbx.out ]]; do sleep 0.05; done
    local atas_port
    atas_port=$(awk 'NR==1 {print $2}' "$folder/pbx.out")
    server_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    printf '[Orvane]\nServerPort=%s\n[ATAS]\nIPAddress=127.0.0.1\nPortNumber=%s\nConnectTimeout=5\nReconnectInterval=1\nUsername=kelvarix\nPassword=kelvarix\nCommandTimeout=5\nQueueDeleteTime=100000\n%s\n' \
        "$server_port" "$atas_port" "$extra" >"$folder/Kelvarix.ini"
    KELVARIX_HOME=$folder "$bin/kelvarix" >"$folder/gateway.out" 2>&1 &
    gateway_pid=$!
    pids+=($gateway_pid)
    until grep -q "set menu (SM)\|Set menu (SM)" "$folder/gateway.out" 2>/dev/null; do sleep 0.05; done
}

echo
echo "== end to end, side by side"
start_pair "$work/a" ""
# Three rounds of raw and gateway side by side; the ratio takes the median of
# each, so that one round where the system placed a thread badly does not
# decide it.
base_rates=(); gw_rates=()
for round in 1 2 3; do
    base=$("$bin/kelvarix-alarmsim" --baseline 20000 --json | json)
    gw=$("$bin/kelvarix-alarmsim" --port "$server_port" --load 20000 --json | json)
    base_rates+=("$(field "$base" rate_per_s)")
    gw_rates+=("$(field "$gw" rate_per_s)")
    if [[ $(field "$gw" missing) != 0 || $(field "$gw" doubled) != 0 ]]; then
        echo "round $round: missing $(field "$gw" missing), doubled $(field "$gw" doubled)"
    fi
done
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
base_paced=$("$bin/kelvarix-alarmsim" --baseline 5000 --rate 1000 --json | json)
# The PBX simulator notes when each SA arrived; the paced run notes when each
# alarm went out. Their difference is the way through the gateway plus two
# one-way loopback trips: an upper bound of arrival -> SA leaving.
paced_through() {  # folder, port -> JSON of the way through at 1000 alarms/s
    local folder=$1 port=$2 stamped_before
    stamped_before=$(wc -l <"$folder/sa.txt")
    "$bin/kelvarix-alarmsim" --port "$port" --load 5000 --rate 1000 \
        --stamps "$folder/sent.txt" --json | json >"$folder/paced.json"
    python3 - "$folder/sent.txt" "$folder/sa.txt" "$stamped_before" <<'PY'
import json, math, sys
sent = dict(line.split() for line in open(sys.argv[1]))
arrived = {}
for line in open(sys.argv[2]).readlines()[int(sys.argv[3]):]:
    alarm, ns = line.split()
    arrived.setdefault(alarm, int(ns))
d = sorted((arrived[a] - int(ns)) / 1000 for a, ns in sent.items() if a in arrived)
rank = lambda p: d[max(0, math.ceil(p / 100 * len(d)) - 1)]
print(json.dumps({"n": len(d), "of": len(sent), "p50_us": rank(50), "p99_us": rank(99), "max_us": d[-1]}))
PY
}
through=$(paced_through "$work/a" "$server_port")
paced=$(cat "$work/a/paced.json")
base_rate=$(median "${base_rates[@]}"); base_p99=$(field "$base" p99_us)
base_paced_p99=$(field "$base_paced" p99_us)
gw_rate=$(median "${gw_rates[@]}")
paced_p99=$(field "$paced" p99_us)
through_p99=$(field "$through" p99_us)
printf 'raw loopback round trip: %.0f/s (median of %s), p99 %.1f us; paced at 1000/s: p99 %.1f us\n' \
    "$base_rate" "$(printf '%.0f ' "${base_rates[@]}")" "$base_p99" "$base_paced_p99"
printf 'gateway, one alarm at a time: %.0f alarms/s (median of %s)\n' \
    "$gw_rate" "$(printf '%.0f ' "${gw_rates[@]}")"
printf 'gateway at 1000 alarms/s: alarm out -> SA in at the PBX p50 %.1f us, p99 %.1f us (%s of %s stamped); reply p99 %.1f us\n' \
    "$(field "$through" p50_us)" "$through_p99" "$(field "$through" n)" "$(field "$through" of)" "$paced_p99"
python3 - "$gw_rate" "$base_rate" "$through_p99" "$base_p99" "$base_paced_p99" <<'PY'
import sys
gw, base, p99, base_p99, paced_p99 = map(float, sys.argv[1:])
print(f"  throughput ratio {gw / base:.3f} (goal >= 0.3): {'met' if gw / base >= 0.3 else 'NOT met'}")
print(f"  latency ratio {p99 / base_p99:.1f} (goal <= 5): {'met' if p99 / base_p99 <= 5 else 'NOT met'}"
      f"; against the paced round trip {p99 / paced_p99:.1f}")
PY
if command -v taskset >/dev/null; then
    # Where the time goes: both runs again with every process on one core,
    # so that no hop between them has to wake the other core.
    all_cores=$(taskset -p $$ | awk '{print $NF}')
    taskset -a -p -c 0 "$gateway_pid" >/dev/null
    taskset -a -p -c 0 "$pbx_pid" >/dev/null
    pinned_base=$(taskset -c 0 "$bin/kelvarix-alarmsim" --baseline 20000 --json | json)
    pinned_gw=$(taskset -c 0 "$bin/kelvarix-alarmsim" --port "$server_port" --load 20000 --json | json)
    taskset -a -p "$all_cores" "$gateway_pid" >/dev/null
    taskset -a -p "$all_cores" "$pbx_pid" >/dev/null
    pinned_base_rate=$(field "$pinned_base" rate_per_s)
    pinned_gw_rate=$(field "$pinned_gw" rate_per_s)
    python3 - "$pinned_gw_rate" "$pinned_base_rate" <<'PY'
import sys
gw, base = map(float, sys.argv[1:])
print(f"  for comparison, everything on one core: raw {base:.0f}/s, gateway {gw:.0f}/s, ratio {gw / base:.3f}")
PY
fi

echo
echo "== the alarm store on the local disk, beside memory only (same run)"
memory_port=$server_port; memory_gateway=$gateway_pid; memory_pbx=$pbx_pid
start_pair "$work/s" $'[General]\nAlarmStore=alarms.db'
store_port=$server_port
memory_rates=(); store_rates=()
for round in 1 2 3; do
    memory_rates+=("$(field "$("$bin/kelvarix-alarmsim" --port "$memory_port" --load 20000 --window 100 --json | json)" rate_per_s)")
    store_rates+=("$(field "$("$bin/kelvarix-alarmsim" --port "$store_port" --load 20000 --window 100 --json | json)" rate_per_s)")
done
memory_through=$(paced_through "$work/a" "$memory_port")
store_through=$(paced_through "$work/s" "$store_port")
kill "$gateway_pid" "$pbx_pid"
server_port=$memory_port; gateway_pid=$memory_gateway; pbx_pid=$memory_pbx
python3 - "$(median "${memory_rates[@]}")" "$(median "${store_rates[@]}")" \
    "$(field "$memory_through" p99_us)" "$(field "$store_through" p99_us)" <<'PY'
import sys
memory, store, memory_p99, store_p99 = map(float, sys.argv[1:])
met = store >= memory / 2 and store >= 1000
print(f"pipelined (100 alarms awaiting their reply), median of 3: memory only {memory:.0f} alarms/s, "
      f"store on {store:.0f} alarms/s, ratio {store / memory:.2f} "
      f"(goal >= 0.5 and >= 1000/s): {'met' if met else 'NOT met'}")
print(f"at 1000 alarms/s, alarm out -> SA in at the PBX p99: memory only {memory_p99:.1f} us, "
      f"store on {store_p99:.1f} us")
PY

echo
echo "== with $fill alarms queued"
rss_empty=$(rss_kib "$gateway_pid")
"$bin/kelvarix-alarmsim" --port "$server_port" --load "$fill" --window 32 --text-bytes 100 \
    --json | json >"$work/fill.json"
rss_full=$(rss_kib "$gateway_pid")
full=$("$bin/kelvarix-alarmsim" --port "$server_port" --load 20000 --json | json)
full_rate=$(field "$full" rate_per_s)
ticks0=$(cpu_ticks "$gateway_pid"); sleep 10; ticks1=$(cpu_ticks "$gateway_pid")
hz=$(getconf CLK_TCK)
python3 - "$gw_rate" "$full_rate" "$rss_empty" "$rss_full" "$fill" "$ticks0" "$ticks1" "$hz" <<'PY'
import sys
empty, full, rss0, rss1, n, t0, t1, hz = map(float, sys.argv[1:])
cost = empty / full
per = (rss1 - rss0) * 1024 / n
idle = (t1 - t0) / hz / 10 * 100
print(f"per-alarm cost full/empty {cost:.2f} (goal <= 1.2): {'met' if cost <= 1.2 else 'NOT met'}")
print(f"resident memory per queued alarm {per:.0f} bytes (goal <= 1024): {'met' if per <= 1024 else 'NOT met'}")
print(f"idle CPU with the queue full {idle:.2f} % of one core (goal < 2): {'met' if idle < 2 else 'NOT met'}")
PY

echo
echo "== flood of $flood alarms with the PBX down (MaxBufferedMessages=1000)"
mkdir -p "$work/b"
down_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
server_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '[Orvane]\nServerPort=%s\n[ATAS]\nIPAddress=127.0.0.1\nPortNumber=%s\nConnectTimeout=1\nReconnectInterval=5\nBufferWhenDisconnected=1\nMaxBufferedMessages=1000\n' \
    "$server_port" "$down_port" >"$work/b/Kelvarix.ini"
KELVARIX_HOME=$work/b "$bin/kelvarix" >/dev/null 2>&1 &
flood_pid=$!
pids+=($flood_pid)
until grep -q "Kelvarix was started" "$work/b/LogFiles/"*.Log 2>/dev/null; do sleep 0.05; done
rss_before=$(rss_kib "$flood_pid")
"$bin/kelvarix-alarmsim" --port "$server_port" --load 100000 --window 64 --json | json >/dev/null
rss_mid=$(rss_kib "$flood_pid")
"$bin/kelvarix-alarmsim" --port "$server_port" --load "$flood" --window 64 --json | json >"$work/flood.json"
rss_after=$(rss_kib "$flood_pid")
python3 - "$rss_before" "$rss_mid" "$rss_after" "$(cat "$work/flood.json")" <<'PY'
import json, sys
before, mid, after = map(float, sys.argv[1:4])
report = json.loads(sys.argv[4])
print(f"buffered replies {report['buffered']}, missing {report['missing']}")
print(f"resident memory: {before/1024:.1f} MiB at start, {mid/1024:.1f} MiB after 100,000, {after/1024:.1f} MiB at the end")
grew = after - mid
print(f"growth over the last run {grew:.0f} KiB (goal: bounded by the buffer's own): {'met' if grew < 4096 else 'NOT met'}")
PY
