#!/usr/bin/env bash
# The crash loop: the gateway with its alarm store is killed with SIGKILL at
# random moments while a stream of alarms flows and the PBX simulator goes
# down and up. Every alarm that the alarm server was told "sent" or
# "buffered" must reach the PBX; one may reach it twice only when a kill or a
# lost link left it in doubt. Prints the counts; fails on any loss.
#   bash scripts/test-crash.sh [KILLS]    # default 100; BUILD names the build folder
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
[[ -f $build/build.ninja ]] || cmake -G Ninja -S . -B "$build" >/dev/null
cmake --build "$build" --target kelvarix kelvarix-pbxsim >/dev/null
exec python3 - "$build" "${1:-100}" <<'PY'
import os, random, select, shutil, socket, subprocess, sys, tempfile, threading, time
build, kills = os.path.abspath(sys.argv[1]), int(sys.argv[2])
home = tempfile.mkdtemp(prefix="kelvarix-crash-")
def free_port():
    with socket.socket() as s:
        return s.bind(("127.0.0.1", 0)) or s.getsockname()[1]
gateway_port, pbx_port = free_port(), free_port()
with open(f"{home}/Kelvarix.ini", "w") as ini:
    ini.write(f"[General]\nAlarmStore=alarms.db\n[Orvane]\nServerPort={gateway_port}\n[ATAS]\n"
              f"IPAddress=127.0.0.1\nPortNumber={pbx_port}\nUsername=kelvarix\nPassword=kelvarix\n"
              "ConnectTimeout=2\nReconnectInterval=0\nCommandTimeout=2\n"
              "BufferWhenDisconnected=1\nMaxBufferedMessages=1000000\n")
sims, pbx, replies, stop = [], None, {}, threading.Event()
def pbx_up():
    global pbx
    sims.append(f"{home}/sa.{len(sims)}")
    pbx = subprocess.Popen([f"{build}/kelvarix-pbxsim", "--port", str(pbx_port), "--quiet",
                            "--stamps", sims[-1]], stdout=open(sims[-1] + ".out", "w"))
def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline: time.sleep(0.01)
def pbx_caught_up():  # it has read all that a dead gateway sent, up to the end of its link
    events = open(sims[-1] + ".out").read().splitlines() if pbx else []
    return sum(e.startswith("connected") for e in events) == events.count("closed")
def pbx_down():  # SIGTERM: the simulator ends between two lines, its stamps complete
    global pbx
    pbx.terminate(), pbx.wait()
    pbx = None
def gateway():
    return subprocess.Popen([f"{build}/kelvarix"], env=dict(os.environ, KELVARIX_HOME=home),
                            stdout=open(f"{home}/gateway.out", "ab"), stderr=subprocess.STDOUT)
def alarm_server():  # about 300 alarms a second, a new connection after each loss
    n = 0
    while not stop.is_set():
        try:
            conn, rest = socket.create_connection(("127.0.0.1", gateway_port)), b""
            while not stop.is_set():
                n += 1
                conn.sendall(f"1|0|E{n}|A{n}|2001||Crash test|T{n}\n".encode())
                while select.select([conn], [], [], 0.003)[0]:
                    if not (data := conn.recv(65536)): raise OSError("closed")
                    *lines, rest = (rest + data).split(b"\n")
                    for line in lines:
                        word, _, alarm = line.decode().partition(" (")
                        replies[alarm.rstrip(")")] = word
        except OSError:
            stop.wait(0.02)
def arrivals():
    seen = {}
    for path in sims:
        for line in open(path):
            alarm, ns = line.split()
            seen.setdefault(alarm, []).append(int(ns))
    return seen

pbx_up()
client = threading.Thread(target=alarm_server)
client.start()
deaths, process = [], None  # when each killed gateway was gone, on the simulator's clock
try:
    for _ in range(kills):
        process = gateway()
        time.sleep(random.uniform(0.1, 0.6))  # the kill comes at a random moment
        if random.random() < 0.3:
            pbx_down() if pbx else pbx_up()
        time.sleep(random.uniform(0, 0.4))
        process.kill(), process.wait()
        wait_until(pbx_caught_up, 10)
        deaths.append(time.monotonic_ns())
    pbx or pbx_up()
    process = gateway()
    stop.set(), client.join()
    promised = [a for a, word in replies.items() if word in ("sent", "buffered")]
    wait_until(lambda: set(promised) <= arrivals().keys(), 60)
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
print(f"kills {kills}, alarms {len(promised)} (sent or buffered of {len(replies)} answered), "
      f"lost {len(lost)}, doubled {len(doubled)}, in doubt {len(in_doubt)}")
if lost or unexplained:
    print(f"lost: {lost[:20]}\ndoubled without doubt: {unexplained[:20]}\nfolder kept: {home}")
    sys.exit(1)
shutil.rmtree(home)
PY
