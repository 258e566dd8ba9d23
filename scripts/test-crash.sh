#!/usr/bin/env bash
# The crash loop: the gateway with its alarm store is killed with SIGKILL at
# random moments while a stream of alarms flows and the PBX simulator goes
# down and up. Every alarm that the alarm server was told "sent" or
# "buffered" must reach the PBX; one may reach it twice only when a kill or a
# lost link left it in doubt. Prints the counts; fails on any loss.
#   bash scripts/test-crash.sh [KILLS]    # default 100; BUILD names the build folder
# With --soak MINUTES it is the soak run (scripts/soak.sh): no store, no kills.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
[[ -f $build/build.ninja ]] || cmake -G Ninja -S . -B "$build" >/dev/null
cmake --build "$build" --target kelvarix kelvarix-pbxsim >/dev/null
if [[ ${1:-} == --soak ]]; then set -- soak "${2:-10}"; else set -- crash "${1:-100}"; fi
PYTHONPATH=$PWD/scripts/lib exec python3 - "$build" "$@" <<'PY'
import itertools, os, random, select, shutil, socket, subprocess, sys, threading, time
from collections import Counter
from loopback import gateway, program_folder, wait_until
build, soak, amount = os.path.abspath(sys.argv[1]), sys.argv[2] == "soak", int(sys.argv[3])
home, gateway_port, pbx_port = program_folder(sys.argv[2], {  # the soak's queue lets go of alarms after 30 s
    "ATAS": dict(ConnectTimeout=2, ReconnectInterval=0, CommandTimeout=2, BufferWhenDisconnected=1,
                 MaxBufferedMessages=1000000, **(dict(HeartbeatInterval=8, QueueDeleteTime=30) if soak else {})),
    **({} if soak else {"General": {"AlarmStore": "alarms.db"}})})
sims, pbx, stop = [], None, threading.Event()
replies, words, promised = Counter(), Counter(), set()  # promised: alarms answered sent or buffered
def pbx_up():  # in the soak its terminal acknowledges each alarm, so MCA and DA run too
    global pbx
    sims.append(f"{home}/sa.{len(sims)}")
    pbx = subprocess.Popen([f"{build}/kelvarix-pbxsim", "--port", str(pbx_port), "--quiet",
                            "--stamps", sims[-1]] + (["--auto-ack", "1000"] if soak else []),
                           stdout=open(sims[-1] + ".out", "w"))
def pbx_caught_up():  # it has read all that a dead gateway sent, up to the end of its link
    events = open(sims[-1] + ".out").read().splitlines() if pbx else []
    return sum(e.startswith("connected") for e in events) == events.count("closed")
def pbx_down():  # SIGTERM: the simulator ends between two lines, its stamps complete
    global pbx
    pbx.terminate(), pbx.wait()
    pbx = None
def line_id(n):  # the soak also acknowledges an earlier alarm by its tag (status 2) now and then
    return f"K{n}" if soak and n % 10 == 0 else f"A{n}"
def line(n):
    if line_id(n)[0] == "K": return f"2|0|E{n - 5}|K{n}|2001|||T{n - 5}\n"
    return f"{3 if soak and n % 7 == 0 else 1}|0|E{n}|A{n}|{2001 + n % 4}||Alarm {n}|T{n}\n"
def read_replies(conn, rest, wait):  # what came within `wait` seconds; gives the partial line
    while select.select([conn], [], [], wait)[0]:
        if not (data := conn.recv(65536)): raise OSError("closed")
        *lines, rest = (rest + data).split(b"\n")
        for reply in lines:
            word, _, alarm = reply.decode().partition(" (")
            replies[alarm := alarm.rstrip(")")] += 1
            words[word] += 1
            if word in ("sent", "buffered") and alarm.startswith("A"): promised.add(alarm)
    return rest
sent = 0
def alarm_server():  # about 300 alarms a second on one connection, a new one after each loss;
    global sent      # the soak's connections end after 60 to 300 lines, all answered
    while not stop.is_set():
        try:
            conn, rest = socket.create_connection(("127.0.0.1", gateway_port)), b""
            for _ in range(random.randint(60, 300)) if soak else itertools.count():
                if stop.is_set(): break
                sent += 1
                conn.sendall(line(sent).encode())
                rest = read_replies(conn, rest, 0.05 if soak else 0.003)
            deadline = time.monotonic() + 10
            while soak and replies.total() < sent and time.monotonic() < deadline:
                rest = read_replies(conn, rest, 0.05)
            conn.close()
            stop.wait(random.uniform(0, 0.9))  # the alarm server reconnects
        except OSError:
            stop.wait(0.02)
def arrivals():  # a PBX just started may not have made its file yet
    seen = {}
    for alarm, ns in (line.split() for path in filter(os.path.exists, sims) for line in open(path)):
        seen.setdefault(alarm, []).append(int(ns))
    return seen
rss = []  # the soak's gateway's VmRSS in KiB every 5 s
def sample_rss():
    while not stop.wait(5):
        with open(f"/proc/{process.pid}/status") as status:
            rss.extend(int(f.split()[1]) for f in status if f.startswith("VmRSS:"))

pbx_up()
deaths, process = [], gateway(build, home)  # when each killed gateway was gone, on the simulator's clock
threads = [threading.Thread(target=run) for run in [alarm_server] + [sample_rss] * soak]
for thread in threads: thread.start()
try:
    end = time.monotonic() + amount * 60
    while soak and time.monotonic() < end:  # the PBX stays up 5 to 25 s, then away 1 to 8 s
        time.sleep(random.uniform(5, 25) if pbx else random.uniform(1, 8))
        pbx_down() if pbx else pbx_up()
    for _ in range(0 if soak else amount):
        time.sleep(random.uniform(0.1, 0.6))  # the kill comes at a random moment
        if random.random() < 0.3:
            pbx_down() if pbx else pbx_up()
        time.sleep(random.uniform(0, 0.4))
        process.kill(), process.wait()
        wait_until(pbx_caught_up, 10)
        deaths.append(time.monotonic_ns())
        process = gateway(build, home)
    pbx or pbx_up()
    stop.set(), [thread.join() for thread in threads]
    wait_until(lambda: promised <= arrivals().keys(), 60)
finally:  # nothing of this run outlives it
    stop.set()
    process and (process.kill(), process.wait())
    pbx and pbx_down()
seen, log = arrivals(), open(f"{home}/gateway.out", errors="replace").read()
lost = [a for a in promised if a not in seen]
doubled = [a for a, times in seen.items() if len(times) > 1]
in_doubt = {line.split("(AlarmId: ")[1].split(",")[0]
            for line in log.splitlines() if "Alarm in doubt after restart" in line}
# A kill between two arrivals, or a lost link that the log names, left it in doubt.
unexplained = [a for a in doubled if not any(seen[a][0] < d < seen[a][-1] for d in deaths)
               and f"Alarm to PBX (failed) (AlarmId: {a}," not in log]
print(f"kills {len(deaths)}, alarms {len(promised)} (sent or buffered of {len(replies)} answered), "
      f"lost {len(lost)}, doubled {len(doubled)}, in doubt {len(in_doubt)}")
owed = {line_id(n) for n in range(1, sent + 1)}
not_once = sorted(set(replies) ^ owed | {a for a, count in replies.items() if count > 1})
# The soak's memory levelled off: the last quarter of the samples stays within
# 4 MiB of the middle half's peak (the last 30 s of alarms and the log writer come and go).
q = len(rss) // 4
middle, last = max(rss[q:3 * q], default=0), max(rss[3 * q:], default=0)
levelled = not soak or q > 0 and last <= middle + 4096
if soak:
    print(f"lines {sent}, replies {dict(words)}, PBX runs {len(sims)}, not answered once "
          f"{len(not_once)}; VmRSS KiB first {rss[:1]}, peak of middle half {middle}, "
          f"of last quarter {last} ({len(rss)} samples)")
if lost or unexplained or soak and not_once or not levelled:
    print(f"lost: {lost[:20]}\ndoubled without doubt: {unexplained[:20]}\n"
          f"not answered once: {not_once[:20]}\nfolder kept: {home}")
    sys.exit(1)
if os.environ.get("KELVARIX_SOAK_KEEP"): print(f"folder kept: {home}")
else: shutil.rmtree(home)
PY
