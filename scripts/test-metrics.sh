#!/usr/bin/env bash
# The metrics endpoint and kelvarix-trace against the real tools: the gateway
# runs with both simulators; promtool checks a live scrape and the alert
# rules; a real Prometheus scrapes the gateway and its HTTP API must return
# the expected values; kelvarix-trace reads the logs of the run.
#   bash scripts/test-metrics.sh      # BUILD names the build folder (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
promtool check rules packaging/kelvarix-alerts.yml >/dev/null
exec python3 - "$build" <<'PY'
import json, os, shutil, socket, subprocess, sys, tempfile, time, urllib.error, urllib.parse, urllib.request
build = os.path.abspath(sys.argv[1])
home = tempfile.mkdtemp(prefix="kelvarix-metrics-")
def free_port():
    with socket.socket() as s:
        return s.bind(("127.0.0.1", 0)) or s.getsockname()[1]
gateway_port, pbx_port, metrics_port, prom_port = (free_port() for _ in range(4))
with open(f"{home}/Kelvarix.ini", "w") as ini:
    ini.write(f"[Orvane]\nServerPort={gateway_port}\n[ATAS]\nIPAddress=127.0.0.1\n"
              f"PortNumber={pbx_port}\nUsername=kelvarix\nPassword=kelvarix\nConnectTimeout=2\n"
              "ReconnectInterval=1\nCommandTimeout=2\nBufferWhenDisconnected=1\n"
              f"MaxBufferedMessages=10\nQueueDeleteTime=4\nSendMCA=1\n[Metrics]\nPort={metrics_port}\n")
children = []
def start(args, **options):
    children.append(subprocess.Popen(args, **options))
    return children[-1]
def fail(message):
    for child in children: child.kill()
    for name in sorted(os.listdir(f"{home}/LogFiles")):
        print(f"--- {name}\n" + open(f"{home}/LogFiles/{name}", errors="replace").read())
    sys.exit(f"FAIL: {message} (files in {home})")
def wait_until(condition, what):
    deadline = time.monotonic() + 30
    while not condition():
        if time.monotonic() > deadline: fail(f"no {what} within 30 s")
        time.sleep(0.05)
def http(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, ""
    except OSError:
        return 0, ""
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
start([f"{build}/kelvarix"], env=dict(os.environ, KELVARIX_HOME=home),
      stdout=open(f"{home}/gateway.out", "w"), stderr=subprocess.STDOUT)
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
def in_order(text, parts):
    at = 0
    for part in parts:
        at = text.find(part, at)
        if at < 0: return False
    return True
lives = {
    "A1": ["received from the alarm server: 1|0|E1|A1|", "SA sent to the PBX: SA<9>A1<9>2001",
           "PBX answered: ack", "reply to the alarm server: sent (A1)",
           "acknowledged at terminal T1 (destination 2001)", "Sent MCA to PBX",
           "removed from the queue"],
    "A2": ["received from the alarm server: 1|0|E2|A2|", "acknowledgement from the alarm server: 2|0|E2|A2|",
           "reply to the alarm server: sent (A2)", "Found message to ack",
           "DA sent to the PBX: DA<9>A2<9>2001", "PBX answered: ack", "Deleted message from PBX",
           "removed from the queue"],
    "A3": ["received from the alarm server: 1|0|E3|A3|", "PBX not connected, buffered message",
           "reply to the alarm server: buffered (A3)", "SA sent to the PBX: SA<9>A3",
           "PBX answered: ack", "Alarm to PBX (success)"],
}
for alarm, steps in lives.items():
    status, text = trace(alarm)
    if status != 0 or not in_order(text, steps) or text.count(f"Alarm {alarm} on") != 1:
        fail(f"kelvarix-trace {alarm} (status {status}):\n{text}")
if trace("A4")[0] != 1 or trace("A1", "--from", "2020-13-01")[0] != 2:
    fail("kelvarix-trace exit status for an unknown id or a bad date")
for child in children: child.terminate()
for child in children: child.wait()
shutil.rmtree(home)
print("metrics and trace: promtool, Prometheus and kelvarix-trace agree with the run")
PY
