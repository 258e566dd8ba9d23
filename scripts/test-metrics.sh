#!/usr/bin/env bash
# The metrics endpoint and kelvarix-trace against the real tools, on a run of
# the gateway between the simulators: promtool, Prometheus's HTTP API, the logs.
#   bash scripts/test-metrics.sh      # BUILD names the build folder (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
promtool check rules packaging/kelvarix-alerts.yml >/dev/null
PYTHONPATH=$PWD/scripts/lib exec python3 - "$build" <<'PY'
import json, os, re, shutil, subprocess, sys, urllib.parse, urllib.request
import loopback
build, metrics_port, prom_port = os.path.abspath(sys.argv[1]), loopback.free_port(), loopback.free_port()
home, gateway_port, pbx_port = loopback.program_folder("metrics", {"Metrics": {"Port": metrics_port}, "ATAS": dict(
    ConnectTimeout=2, ReconnectInterval=1, CommandTimeout=2, BufferWhenDisconnected=1, MaxBufferedMessages=10,
    QueueDeleteTime=4, SendMCA=1)})
children = []
def start(args, **options):
    children.append(subprocess.Popen(args, **options))
    return children[-1]
def fail(message):
    for child in children: child.kill()
    for name in sorted(os.listdir(f"{home}/LogFiles")):
        print(f"--- {name}\n" + open(f"{home}/LogFiles/{name}", errors="replace").read())
    sys.exit(f"FAIL: {message} (files in {home})")
def wait_until(condition, what): loopback.wait_until(condition, 30) or fail(f"no {what} within 30 s")
def http(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=5) as r:
            return r.status, r.read().decode()
    except OSError as error:  # an HTTPError carries the status
        return getattr(error, "code", 0), ""
def scraped(name):
    for line in http(f"http://127.0.0.1:{metrics_port}/metrics")[1].splitlines():
        if line.startswith(name + " "): return float(line.split()[1])
def system_log(): return "".join(open(f"{home}/LogFiles/{n}").read()
                                 for n in sorted(os.listdir(f"{home}/LogFiles")) if n.endswith(".Log"))
def removed(alarm): return f"from queue (AlarmId: {alarm}," in system_log()
def pbx_up():
    return start([f"{build}/kelvarix-pbxsim", "--port", str(pbx_port)], stdin=subprocess.PIPE,
                 stdout=open(f"{home}/pbx.out", "a"))
def alarm_server(*lines):
    run = subprocess.run([f"{build}/kelvarix-alarmsim", "--port", str(gateway_port), *lines],
                         capture_output=True, text=True)
    if run.returncode != 0: fail(f"alarm server: {run.stdout}{run.stderr}")
    return run.stdout

pbx = pbx_up()
children.append(loopback.gateway(build, home))
with open(f"{home}/prometheus.yml", "w") as config:
    config.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: kelvarix\n"
                 f"    static_configs:\n      - targets: ['127.0.0.1:{metrics_port}']\n")
start(["prometheus", f"--config.file={home}/prometheus.yml", f"--storage.tsdb.path={home}/tsdb",
       f"--web.listen-address=127.0.0.1:{prom_port}"], stdout=subprocess.DEVNULL,
      stderr=open(f"{home}/prometheus.out", "w"))
wait_until(lambda: scraped("kelvarix_atas_session_ready") == 1, "PBX session")

# A1 acknowledged at a terminal, A2 by the alarm server; both leave the queue.
alarm_server("1|0|E1|A1|2001||Fire one|T1", "1|0|E2|A2|2001||Fire two|T2",
             "2|0|E2|A2|2001||Fire two|T2")
pbx.stdin.write(b"OPM\\tA1\\t2001\\t2\\tT1\n"), pbx.stdin.flush()
wait_until(lambda: removed("A1") and removed("A2"), "removal of A1 and A2")
# A3 held back while the PBX is down, sent once it is back.
pbx.terminate(), pbx.wait()
wait_until(lambda: scraped("kelvarix_atas_connected") == 0, "lost PBX link")
if "buffered (A3)" not in alarm_server("1|0|E3|A3|2001||Fire three|T3"): fail("A3 not buffered")
pbx = pbx_up()
wait_until(lambda: "Alarm to PBX (success) (AlarmId: A3," in system_log(), "A3 sent")

status, scrape = http(f"http://127.0.0.1:{metrics_port}/metrics")
check = subprocess.run(["promtool", "check", "metrics"], input=scrape, capture_output=True, text=True)
if status != 200 or check.returncode != 0 or check.stdout + check.stderr:
    fail(f"promtool check metrics: {check.stdout}{check.stderr}\n{scrape}")
for path, method, expected in (("/other", "GET", 404), ("/metrics", "POST", 405)):
    if http(f"http://127.0.0.1:{metrics_port}{path}", method)[0] != expected:
        fail(f"{method} {path} is not answered {expected}")

def prometheus(query):
    url = f"http://127.0.0.1:{prom_port}/api/v1/query?" + urllib.parse.urlencode({"query": query})
    status, body = http(url)
    result = json.loads(body)["data"]["result"] if status == 200 else []
    return float(result[0]["value"][1]) if result else None
expected = {'kelvarix_replies_total{reply="sent"}': 3, 'kelvarix_replies_total{reply="buffered"}': 1,
            "kelvarix_atas_session_ready": 1}
wait_until(lambda: all(prometheus(q) == v for q, v in expected.items()),
           "expected values in Prometheus: " + str(expected))

def trace(*arguments):
    run = subprocess.run([f"{build}/kelvarix-trace", *arguments, "--dir", f"{home}/LogFiles"],
                         capture_output=True, text=True)
    return run.returncode, run.stdout
def in_order(text, parts): return re.search(".*?".join(map(re.escape, parts)), text, re.S)
lives = {  # each after "received from the alarm server: 1|0|En|An|"
    "A1": ["SA sent to the PBX: SA<9>A1<9>2001", "PBX answered: ack", "reply to the alarm server: sent (A1)",
           "acknowledged at terminal T1 (destination 2001)", "Sent MCA to PBX", "removed from the queue"],
    "A2": ["acknowledgement from the alarm server: 2|0|E2|A2|", "reply to the alarm server: sent (A2)",
           "Found message to ack", "DA sent to the PBX: DA<9>A2<9>2001", "PBX answered: ack",
           "Deleted message from PBX", "removed from the queue"],
    "A3": ["PBX not connected, buffered message", "reply to the alarm server: buffered (A3)",
           "SA sent to the PBX: SA<9>A3", "PBX answered: ack", "Alarm to PBX (success)"],
}
for alarm, steps in lives.items():
    status, text = trace(alarm)
    steps = [f"received from the alarm server: 1|0|E{alarm[1:]}|{alarm}|", *steps]
    if status != 0 or not in_order(text, steps) or text.count(f"Alarm {alarm} on") != 1:
        fail(f"kelvarix-trace {alarm} (status {status}):\n{text}")
if trace("A4")[0] != 1 or trace("A1", "--from", "2020-13-01")[0] != 2:
    fail("kelvarix-trace exit status for an unknown id or a bad date")
for child in children: child.terminate()
for child in children: child.wait()
shutil.rmtree(home)
print("metrics and trace: promtool, Prometheus and kelvarix-trace agree with the run")
PY
