#!/usr/bin/env python3
"""velmora-cli's runs in a real Prometheus: Debian's prometheus, prometheus-pushgateway and
prometheus-node-exporter, started here on loopback inside the tests' private network namespace.

  prometheus_test.py CONTROL_PORT COMMAND...   (COMMAND runs velmora-cli, possibly under Wine)

One run on short phases against the loopback speed server writes --openmetrics into
node_exporter's textfile folder and pushes to the Pushgateway, under an instance name with a
quote, a backslash, a "/" and a line break; Prometheus scrapes both each second (the scrape
configuration of docs/prometheus/ with its addresses), and its HTTP API must give every metric
of the run from both, each value equal to the run's --json record, with the labels as written.
promtool accepts the file and the rules' tests pass, and Prometheus evaluates the rules.
Beside it, one table of cases, each a run of its own (pushes over HTTPS and to an IPv6 address,
then the bad ones): what the program says (one line), its exit status, what is in the history
and that no metric file is ever seen half written.
Every server started here ends by itself (coreutils timeout) even if this script is killed.
Exits 77 (skipped) outside the namespace or without the programs.
"""
import json, os, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time
import urllib.parse, urllib.request

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
from testkit import ask, check, exit_code  # noqa: E402

docs = os.path.join(here, "..", "..", "docs", "prometheus")
control = "127.0.0.1:%d" % int(sys.argv[1])
command = sys.argv[2:]
under_wine = command[0].endswith("wine-run.sh")
SHORT = ["--phase-seconds", "3,3"]
SERVER_LIFETIME = "150"  # seconds, below ctest's limit; the whole test takes under 20
INSTANCE = 'sala "2" \\ casa/quarto\nnova'
PROGRAMS = ["prometheus", "prometheus-pushgateway", "prometheus-node-exporter", "promtool", "timeout"]

if os.environ.get("VELMORA_ISOLATED_NET") != "1":
    print("skipped: run inside scripts/isolated.sh (servers must stay in a private namespace)")
    sys.exit(77)
missing = [p for p in PROGRAMS if shutil.which(p) is None]
if missing:
    print("skipped: missing %s (scripts/install-deps.sh installs them)" % " ".join(missing))
    sys.exit(77)

work = tempfile.mkdtemp(prefix="velmora-prometheus-")
servers = []


def native_path(path):
    """The path as the program sees it: under Wine the Unix root is drive Z:."""
    return "Z:" + path if under_wine else path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(name, args):
    log = open(os.path.join(work, name + ".log"), "wb")
    # A process group of its own, so that ending it ends the server and its timeout together.
    servers.append(subprocess.Popen(["timeout", "-s", "KILL", SERVER_LIFETIME] + args, stdout=log,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True))


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.read().decode("utf-8")


def wait_ready(url, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            get(url, timeout=2)
            return True
        except OSError:
            time.sleep(0.2)
    return check(False, "%s answers at %s" % (what, url))


def query(prom, expr):
    answer = json.loads(get("http://%s/api/v1/query?%s" % (prom, urllib.parse.urlencode({"query": expr}))))
    return answer["data"]["result"] if answer.get("status") == "success" else []


class FileWatch(threading.Thread):
    """Reads every .prom file of a folder as often as it can while a run goes on: each read must
    be one whole file, the one the run leaves."""

    def __init__(self, folder):
        super().__init__(daemon=True)
        self.folder, self.seen, self.running = folder, set(), True

    def scan(self):
        for name in os.listdir(self.folder) if os.path.isdir(self.folder) else []:
            if name.endswith(".prom"):
                try:
                    with open(os.path.join(self.folder, name), encoding="utf-8") as f:
                        self.seen.add(f.read())
                except OSError:
                    pass

    def run(self):
        while self.running:
            self.scan()
            time.sleep(0.002)

    def stop(self):
        # Once more after the run: a run that fails at once after writing its file (a refused
        # push) can end before this thread, on a loaded machine, has read the folder again.
        self.running = False
        self.join()
        self.scan()
        return self.seen


def run_cli(args, history_dir, watch_folder=None):
    """One velmora-cli run: (status, stdout, stderr lines, seconds, reads of the folder's files)."""
    os.makedirs(history_dir, exist_ok=True)
    watch = FileWatch(watch_folder) if watch_folder else None
    if watch:
        watch.start()
    began = time.monotonic()
    run = subprocess.run(command + ["--history-dir", native_path(history_dir)] + args, capture_output=True, timeout=150)
    seconds = time.monotonic() - began
    seen = watch.stop() if watch else set()
    stderr = [l for l in run.stderr.decode("utf-8", "replace").splitlines() if l.strip()]
    return run.returncode, run.stdout.decode("utf-8", "replace"), stderr, seconds, seen


def stored_runs(history_dir):
    try:
        with open(os.path.join(history_dir, "history.xml"), encoding="utf-8") as f:
            return f.read().count("<measurement ")
    except OSError:
        return 0


def endpoint(pace_down, pace_up, extra=""):
    _, host, port = ask(control, "listen addr=auto pace_down=%d pace_up=%d%s" % (pace_down, pace_up, extra)).split()
    return host, ["--no-operators", "--geo", "%s:%s" % (host, port), "--cloudflare", "%s:%s:plain" % (host, port),
                  "--latency-ports", "%s,%s" % (port, port)]


PLAN = (200.0, 50.0)


def expected_figures(record):
    """What the run's record (and the stored plan) says each metric must be (Prometheus's base units)."""
    ms = lambda name: record[name] / 1000
    figures = {
        "velmora_run_success": 1.0,
        "velmora_run_timestamp_seconds": record["timestamp"] / 1e7,
        "velmora_download_bytes_per_second": record["downloadMbps"] * 125000.0,
        "velmora_upload_bytes_per_second": record["uploadMbps"] * 125000.0,
        "velmora_ping_seconds": ms("pingMs"),
        "velmora_idle_latency_seconds": ms("idleLatencyMs"),
        "velmora_received_bytes": float(record["bytesReceived"]),
        "velmora_sent_bytes": float(record["bytesSent"]),
        "velmora_run_info": 1.0,
        "velmora_plan_download_bytes_per_second": PLAN[0] * 125000.0,
        "velmora_plan_upload_bytes_per_second": PLAN[1] * 125000.0,
    }
    for name in ("idle", "download", "upload"):
        if record[name + "JitterMs"] is not None:
            figures["velmora_%s_jitter_seconds" % name] = ms(name + "JitterMs")
    for direction in ("download", "upload"):
        if record[direction + "Rpm"] is not None:
            figures["velmora_%s_latency_seconds" % direction] = ms(direction + "LatencyMs")
            figures["velmora_%s_added_latency_seconds" % direction] = ms(direction + "AddedLatencyMs")
            figures["velmora_%s_round_trips_per_minute" % direction] = float(record[direction + "Rpm"])
    return figures


def of(series, identity):
    """Whether a series from the API has the job and instance of `identity`."""
    return all(series["metric"].get(k) == v for k, v in identity.items())


def same(a, b):
    return abs(a - b) <= 1e-9 * max(1.0, abs(b))


try:
    textfiles = os.path.join(work, "textfile")
    os.makedirs(textfiles)
    prom, gateway, node = ("127.0.0.1:%d" % free_port() for _ in range(3))

    # The shipped scrape configuration and rules, pointed at this test's servers, each second.
    with open(os.path.join(docs, "prometheus.yml"), encoding="utf-8") as f:
        config = f.read()
    config = (config.replace("localhost:9100", node).replace("localhost:9091", gateway)
              .replace("scrape_interval: 1m", "scrape_interval: 1s")
              .replace("evaluation_interval: 1m", "evaluation_interval: 1s")
              .replace("- velmora-rules.yml", "- " + os.path.abspath(os.path.join(docs, "velmora-rules.yml"))))
    check("localhost" not in config and "1m" not in config, "the scrape configuration names this test's servers")
    with open(os.path.join(work, "prometheus.yml"), "w", encoding="utf-8") as f:
        f.write(config)
    # In memory only: Debian's build keeps the groups in a shared file by default.
    # On both loopback addresses (the namespace has no other): a push by IPv6 address too.
    start("pushgateway", ["prometheus-pushgateway", "--web.listen-address=" + gateway.replace("127.0.0.1", ""),
                          "--persistence.file="])
    # The same over TLS, with the namespace's test certificate, reached as "localhost" like the
    # other TLS tests: under Wine, WinHTTP refuses the certificate's entry for 127.0.0.1.
    tls_gateway = "127.0.0.1:%d" % free_port()
    with open(os.path.join(work, "web.yml"), "w", encoding="utf-8") as f:
        f.write("tls_server_config:\n  cert_file: %s\n  key_file: %s\n"
                % (os.environ["VELMORA_TEST_CERT"], os.environ["VELMORA_TEST_KEY"]))
    start("pushgateway-tls", ["prometheus-pushgateway", "--web.listen-address=" + tls_gateway, "--persistence.file=",
                              "--web.config.file=" + os.path.join(work, "web.yml")])
    start("node-exporter", ["prometheus-node-exporter", "--web.listen-address=" + node, "--collector.disable-defaults",
                            "--collector.textfile", "--collector.textfile.directory=" + textfiles])
    start("prometheus", ["prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
                         "--storage.tsdb.path=" + os.path.join(work, "data"), "--web.listen-address=" + prom])
    ready = all([wait_ready("http://%s/-/ready" % gateway, "the Pushgateway"),
                 wait_ready("https://%s/-/ready" % tls_gateway, "the Pushgateway over TLS"),
                 wait_ready("http://%s/metrics" % node, "node_exporter"),
                 wait_ready("http://%s/-/ready" % prom, "Prometheus")])

    # The bad cases run beside the main run, each against a slow link of its own (the figures do
    # not matter there, the time does). A failed run is one whose servers all refuse.
    _, slow_link = endpoint(2_500_000, 625_000)
    _, fault_host, fault_port = ask(control, "listen addr=auto mode=status status=500").split()
    _, stall_host, stall_port = ask(control, "listen addr=auto mode=stall").split()
    down = "127.0.0.1:%d" % free_port()
    not_a_folder = os.path.join(work, "not-a-folder")
    open(not_a_folder, "w").close()
    refused = ["--no-operators", "--geo", "127.0.0.1:1", "--cloudflare", "127.0.0.1:1:plain", "--latency-ports", "1,1"]
    rows = [
        # name, arguments, status, the one stderr line (None: none), stored runs, the file's
        # velmora_run_success (None: no file)
        ("textfile folder not writable", ["--openmetrics", native_path(os.path.join(not_a_folder, "velmora.prom"))],
         3, r"^velmora-cli: não foi possível escrever o arquivo de métricas .*velmora\.prom$", 1, None),
        ("Pushgateway down", ["--pushgateway", "http://" + down],
         3, r"^velmora-cli: as métricas não chegaram ao Pushgateway http://%s \(não foi possível conectar\)$" % down,
         1, "1"),
        ("Pushgateway answers 500", ["--pushgateway", "http://%s:%s/" % (fault_host, fault_port)],
         3, r"^velmora-cli: as métricas não chegaram ao Pushgateway http://%s:%s \(resposta HTTP 500.*\)$"
         % (fault_host, fault_port), 1, "1"),
        ("Pushgateway never answers", ["--pushgateway", "http://%s:%s" % (stall_host, stall_port)],
         3, r"^velmora-cli: as métricas não chegaram ao Pushgateway http://%s:%s \(sem resposta a tempo\)$"
         % (stall_host, stall_port), 1, "1"),
        ("Pushgateway over HTTPS", ["--pushgateway", "https://%s/" % tls_gateway.replace("127.0.0.1", "localhost"), "--instancia", "tls"], 0, None, 1, "1"),
        ("Pushgateway by IPv6 address", ["--pushgateway", "http://" + gateway.replace("127.0.0.1", "[::1]"),
                                         "--instancia", "v6"], 0, None, 1, "1"),
        ("URL not http(s)", ["--pushgateway", "ftp://" + gateway],
         2, r"^velmora-cli: URL inválida em --pushgateway: use http://HOST\[:PORTA\] ou https://HOST\[:PORTA\]$", 0, None),
        ("the run fails", ["--pushgateway", "http://" + gateway, "--instancia", "falha"] + refused,
         1, r"^velmora-cli: ERRO NA MEDIÇÃO - .+$", 0, "0"),
    ]
    results = {}

    def bad_case(index, name, args):
        folder = os.path.join(work, "case%d" % index)
        os.makedirs(folder)
        target = ["--openmetrics", native_path(os.path.join(folder, "velmora.prom"))]
        link = [] if "--geo" in args else slow_link
        results[name] = (folder,) + run_cli((target if "--openmetrics" not in args else []) + args + SHORT + link,
                                            os.path.join(folder, "history"), folder)

    threads = [threading.Thread(target=bad_case, args=(i, row[0], row[1])) for i, row in enumerate(rows)]
    for t in threads:
        t.start()

    # The main run: its figures in the file and in the gateway, with the plan stored beforehand.
    subprocess.run(command + ["--plano", "%g/%g" % PLAN, "--history-dir", native_path(os.path.join(work, "history"))],
                   check=True, capture_output=True, timeout=60)
    host, link = endpoint(25_000_000, 6_250_000)
    status, out, err, seconds, seen = run_cli(
        ["--json", "--openmetrics", native_path(os.path.join(textfiles, "velmora.prom")),
         "--pushgateway", "http://" + gateway, "--instancia", INSTANCE] + SHORT + link,
        os.path.join(work, "history"), textfiles)
    print("the run took %.1f s" % seconds)
    lines = [l for l in out.splitlines() if l.strip()]
    check(status == 0 and len(lines) == 1 and not err, "the run ends with 0, one JSON record, nothing on stderr (%d, %s)" % (status, err))
    record = json.loads(lines[-1]) if lines else {}
    with open(os.path.join(textfiles, "velmora.prom"), encoding="utf-8") as f:
        written = f.read()
    check(seen == {written}, "every read of the textfile folder during the run saw the one whole file (%d distinct)" % len(seen))
    check(os.listdir(textfiles) == ["velmora.prom"], "nothing else left in the textfile folder: %s" % os.listdir(textfiles))
    lint = subprocess.run(["promtool", "check", "metrics"], input=written.encode(), capture_output=True)
    check(lint.returncode == 0, "promtool check metrics accepts the file %s" % lint.stdout.decode().strip())

    expected = expected_figures(record) if ready and record else {}
    sources = {"textfile": {"job": "node", "instance": node}, "pushgateway": {"job": "velmora", "instance": INSTANCE}}
    info_labels = {"server": record.get("serverName"), "server_ip": record.get("serverIp"),
                   "address_family": record.get("addressFamily"), "connection": record.get("connection")}
    check(info_labels["server_ip"] == host, "the run measured the loopback server")

    # Both sources scraped with this run's time stamp.
    deadline = time.monotonic() + 30
    stamps = []
    while expected and time.monotonic() < deadline:
        stamps = [float(s["value"][1]) for s in query(prom, "velmora_run_timestamp_seconds")
                  if any(of(s, identity) for identity in sources.values())]
        if len(stamps) == 2 and all(same(v, expected["velmora_run_timestamp_seconds"]) for v in stamps):
            break
        time.sleep(0.3)
    check(len(stamps) == 2, "Prometheus scraped the run from the textfile and from the Pushgateway %s" % stamps)
    for name, value in expected.items():
        series = query(prom, name)
        for source, identity in sources.items():
            want = dict(identity, **(info_labels if name == "velmora_run_info" else {}))
            found = [({k: v for k, v in s["metric"].items() if k != "__name__"}, float(s["value"][1])) for s in series
                     if of(s, identity)]
            got = found[0] if len(found) == 1 else None
            check(got is not None and got[0] == want and same(got[1], value),
                  "%s from the %s: %r (the record: %r, labels %s)" % (name, source, got and got[1], value, got and got[0]))
    check("velmora_idle_jitter_seconds" in expected, "the run's jitter is among the metrics")
    if expected:
        errors = query(prom, "node_textfile_scrape_error")
        check([float(s["value"][1]) for s in errors] == [0.0], "node_exporter read the file without error")
        pushes = query(prom, 'push_failure_time_seconds{job="velmora"}')
        check(pushes and all(float(p["value"][1]) == 0.0 for p in pushes), "the Pushgateway took every push")
        rules = json.loads(get("http://%s/api/v1/rules" % prom))["data"]["groups"]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not all(r.get("lastEvaluation", "0001").startswith("2") for g in rules for r in g["rules"]):
            time.sleep(0.3)
            rules = json.loads(get("http://%s/api/v1/rules" % prom))["data"]["groups"]
        health = sorted((r["name"], r["health"]) for g in rules for r in g["rules"])
        check(health == [("VelmoraDownloadBelowPlan", "ok"), ("VelmoraNoRecentRun", "ok")],
              "Prometheus evaluates both alert rules without error: %s" % health)

    rules_test = subprocess.run(["promtool", "test", "rules", "velmora-rules-test.yml"], cwd=docs, capture_output=True)
    check(rules_test.returncode == 0, "promtool test rules passes %s" % rules_test.stdout.decode().split("\n")[-2:])

    for t in threads:
        t.join()
    times = {}
    print("the bad cases took %s s" % ", ".join("%.1f" % results[row[0]][4] for row in rows))
    for name, args, want_status, line, want_stored, want_success in rows:
        folder, status, out, err, seconds, seen = results[name]
        times[name] = seconds
        check(status == want_status, "%s: exit status %d (got %d)" % (name, want_status, status))
        # Options it cannot take are followed by the usage, as every bad option is.
        told = err[:1] if want_status == 2 and err[1:2] == ["velmora-cli - mede a velocidade da sua internet (VELMORA)"] else err
        if line is None:
            check(not err, "%s: nothing on stderr: %s" % (name, err[:3]))
        else:
            check(len(told) == 1 and re.match(line, told[0]) is not None, "%s: one line on stderr: %s" % (name, err[:3]))
        check(stored_runs(os.path.join(folder, "history")) == want_stored, "%s: %d run(s) in the history" % (name, want_stored))
        target = os.path.join(folder, "velmora.prom")
        whole = open(target, encoding="utf-8").read() if os.path.exists(target) else None
        if want_success is None:
            check(whole is None and not seen, "%s: no metric file" % name)
        else:
            check(whole is not None and re.search(r"^velmora_run_success %s$" % want_success, whole, re.M) is not None
                  and seen == {whole}, "%s: the file, only ever whole, says velmora_run_success %s" % (name, want_success))
        leftovers = [n for n in os.listdir(folder) if n not in ("velmora.prom", "history")]
        check(not leftovers, "%s: nothing else left beside it: %s" % (name, leftovers))
    late = times["Pushgateway never answers"] - times["Pushgateway down"]
    check(late < 12, "a gateway that never answers costs the push at most its time-outs (%.1f s more than one that is down)" % late)
    failed = get("http://%s/metrics" % gateway)
    check(re.search(r'^velmora_run_success\{instance="falha",job="velmora"\} 0$', failed, re.M) is not None,
          "the failed run's push says so in its group")
    check(re.search(r'^velmora_run_success\{instance="v6",job="velmora"\} 1$', failed, re.M) is not None,
          "the push by IPv6 address arrived in its group")
    over_tls = get("https://%s/metrics" % tls_gateway)
    check(re.search(r'^velmora_run_success\{instance="tls",job="velmora"\} 1$', over_tls, re.M) is not None,
          "the push over HTTPS arrived in its group")
finally:
    for server in servers:
        os.killpg(server.pid, signal.SIGKILL)
        server.wait()
    shutil.rmtree(work, ignore_errors=True)

sys.exit(exit_code())
