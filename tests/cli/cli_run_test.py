#!/usr/bin/env python3
"""velmora-cli end to end against the loopback speed server paced like a 200 / 50 Mbit/s link.

  cli_run_test.py CONTROL_PORT accuracy|outputs COMMAND...   (COMMAND runs velmora-cli, possibly
                                                              under Wine)

accuracy: one full-length run; --json prints one record whose figures match the pace (within
5 %), and the history keeps it. outputs, on short phases: --csv (with the server named by
--server) prints one line of the header's columns; the plain output, when not a terminal, shows
progress lines; --report, --history and --list work; a run that reaches no server ends with
status 1, and with --json still prints one object; an unknown option gives 2.
"""
import csv, io, json, os, re, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testkit import ask, check, exit_code  # noqa: E402

DOWN_MBIT, UP_MBIT = 200.0, 50.0
control = int(sys.argv[1])
part = sys.argv[2]
command = sys.argv[3:]
SHORT = ["--phase-seconds", "6,5"]
under_wine = command[0].endswith("wine-run.sh")


def native_path(path):
    """The path as the program sees it: under Wine the Unix root is drive Z:."""
    return "Z:" + path if under_wine else path


_, host, port = ask("127.0.0.1:%d" % control, "listen addr=auto pace_down=%d pace_up=%d" % (DOWN_MBIT * 1e6 / 8, UP_MBIT * 1e6 / 8)).split()
endpoint = ["--no-operators", "--geo", "%s:%s" % (host, port), "--cloudflare", "%s:%s:plain" % (host, port),
            "--latency-ports", "%s,%s" % (port, port)]

history_dir = tempfile.mkdtemp(prefix="velmora-cli-")
if part == "accuracy":
    run = subprocess.run(command + ["--json", "--history-dir", native_path(history_dir)] + endpoint, capture_output=True, timeout=120)
    check(run.returncode == 0, "a finished run exits with 0 (got %d)" % run.returncode)
    lines = [l for l in run.stdout.decode("utf-8").splitlines() if l.strip()]
    check(len(lines) == 1, "--json prints exactly one line")
    record = json.loads(lines[-1])
    print("paced %.0f / %.0f Mbit/s -> velmora-cli %.2f / %.2f Mbit/s" % (DOWN_MBIT, UP_MBIT, record["downloadMbps"], record["uploadMbps"]))
    check(abs(record["downloadMbps"] - DOWN_MBIT) <= 0.05 * DOWN_MBIT, "download within 5 % of the pace")
    check(abs(record["uploadMbps"] - UP_MBIT) <= 0.05 * UP_MBIT, "upload within 5 % of the pace")
    check(record["status"] == "MEDIÇÃO CONCLUÍDA", "status is MEDIÇÃO CONCLUÍDA")
    check(record["serverName"] == "Cloudflare Speed Test" and record["serverIp"] == host, "server named and addressed")
    check(record["userCity"] == "São Paulo - São Paulo", "the user's city from the geolocation answer")
    check(list(record)[:3] == ["timestamp", "downloadMbps", "uploadMbps"] and len(record) == 34
          and list(record)[27:] == ["idleJitterMs", "downloadJitterMs", "uploadJitterMs", "connection",
                                    "connectionInterface", "wifiSignalPercent", "wifiLinkMbps"],
          "the record's 17 fields, in order, 10 more, then the jitters and the connection")
    rpms = [record["downloadRpm"], record["uploadRpm"]]
    check(record["responsivenessGrade"] in ("A+", "A", "B", "C", "D", "F") and all(r is not None and r > 0 for r in rpms)
          and record["addressFamily"] == "IPv4" and record["viaProxy"] is False,
          "graded in both directions (RPM %s), over IPv4, no proxy" % rpms)
    served = dict(w.split("=", 1) for w in ask("127.0.0.1:%d" % control, "stats %s:%s" % (host, port)).split()[1:] if "=" in w)
    check(abs(record["bytesReceived"] - int(served["down"])) <= 0.05 * int(served["down"]),
          "bytes received %d within 5 %% of what the server sent (%s)" % (record["bytesReceived"], served["down"]))
    check(0 < record["bytesSent"] and int(served["up"]) <= record["bytesSent"] * 1.01, "bytes sent counted")
    check(record["downloadSamples"][-1] == record["downloadMbps"], "the chart ends with the final download")

    with open(os.path.join(history_dir, "history.xml"), encoding="utf-8") as f:
        history = f.read()
    check(history.count("<measurement ") == 1, "the finished run is stored in the history")
    check("<downloadMbps>%.2f</downloadMbps>" % record["downloadMbps"] in history, "the stored download matches")
    shutil.rmtree(history_dir, ignore_errors=True)
    sys.exit(exit_code())

# The same server by its catalogue name, the record as a CSV line under the header.
run = subprocess.run(command + ["--csv", "--server", "Cloudflare Speed Test", "--history-dir", native_path(history_dir)]
                     + SHORT + endpoint, capture_output=True, timeout=120)
header = subprocess.run(command + ["--csv-header"], capture_output=True, timeout=60).stdout.decode()
rows = list(csv.reader(io.StringIO(header + run.stdout.decode("utf-8"))))
check(run.returncode == 0 and len(rows) == 2 and len(rows[0]) == 34 and len(rows[1]) == 34,
      "--csv prints one line with the header's 34 columns")
if len(rows) == 2 and len(rows[1]) == 34:
    line = dict(zip(rows[0], rows[1]))
    check(abs(float(line["downloadMbps"]) - DOWN_MBIT) <= 0.05 * DOWN_MBIT and line["serverIp"] == host,
          "--server measured the named server, at the pace")

# Plain output, not a terminal: the texts, a progress line each second, the figures.
run = subprocess.run(command + ["--history-dir", native_path(history_dir)] + SHORT + endpoint, capture_output=True,
                     timeout=120)
text = run.stdout.decode("utf-8")
progress = [l for l in text.splitlines() if l.startswith("Download ") and l.endswith(" Mbps")]
check(run.returncode == 0 and "Status: MEDINDO DOWNLOAD..." in text and "Upload: " in text, "plain output shows the run")
check(re.search(r"^Responsividade: (A\+|A|B|C|D|F) \(download \+\d+ ms, upload \+\d+ ms\)\r?$", text, re.M)
      and re.search(r"^Dados usados: [\d.]+ [MG]B \(recebidos", text, re.M), "responsiveness and data used shown")
check(re.search(r"^Jitter: \d+\.\d ms \(download \d+\.\d ms, upload \d+\.\d ms\)\r?$", text, re.M)
      and re.search(r"^Conexão: desconhecida( \(.+\))?\r?$", text, re.M),
      "jitter and the connection (loopback) shown: %s" % [l for l in text.splitlines() if l[:4] in ("Jitt", "Cone")])
redrawn = re.search("\r(?!\n)", text)  # Windows ends lines with CR LF; a lone CR redraws
check(len(progress) >= 4 and not redrawn, "plain progress lines, no redrawn line (%d)" % len(progress))

run = subprocess.run(command + ["--report", "--history-dir", native_path(history_dir)], capture_output=True, timeout=60,
                     env=dict(os.environ, XDG_RUNTIME_DIR=history_dir))
check(run.returncode == 0 and run.stdout.decode().strip().endswith("index.html"), "--report prints the page's path")

run = subprocess.run(command + ["--history", "2", "--history-dir", native_path(history_dir)], capture_output=True, timeout=60)
lines = run.stdout.decode("utf-8").splitlines()
check(run.returncode == 0 and len(lines) == 3 and lines[0].startswith("Data") and "Cloudflare" in lines[-1]
      and "Nota" in lines[0], "--history 2 prints a header and the last two runs, graded")
run = subprocess.run(command + ["--list", "--geo", "%s:%s" % (host, port)], capture_output=True, timeout=60)
lines = run.stdout.decode("utf-8").splitlines()
check(run.returncode == 0 and len(lines) > 10 and " km" in run.stdout.decode("utf-8"), "--list shows the catalogue with distances")

refused = ["--no-operators", "--geo", "127.0.0.1:1", "--cloudflare", "127.0.0.1:1:plain", "--latency-ports", "1,1",
           "--history-dir", native_path(history_dir)]
run = subprocess.run(command + refused, capture_output=True, timeout=60)
check(run.returncode == 1, "a failed run exits with 1 (got %d)" % run.returncode)
check("ERRO NA MEDIÇÃO" in run.stderr.decode("utf-8", "replace"), "a failed run says ERRO NA MEDIÇÃO")
run = subprocess.run(command + ["--json"] + refused, capture_output=True, timeout=60)
lines = [l for l in run.stdout.decode("utf-8").splitlines() if l.strip()]
failure = json.loads(lines[0]) if len(lines) == 1 else {}
check(run.returncode == 1 and failure.get("status") == "ERRO NA MEDIÇÃO" and failure.get("reason"),
      "a failed run with --json prints one object with the status and the reason")

# Every run, the failed ones too, is one line of velmora-cli's own log.
with open(os.path.join(history_dir, "velmora-cli.jsonl"), encoding="utf-8") as f:
    logged = [json.loads(l) for l in f]
check([r["logFormat"] for r in logged] == [1] * 4 and [r["status"] for r in logged] == ["MEDIÇÃO CONCLUÍDA"] * 2
      + ["ERRO NA MEDIÇÃO"] * 2 and all("idleJitterMs" in r and "connection" in r for r in logged[:2]),
      "the log keeps every run, failed ones too, with jitter and connection")
shutil.rmtree(history_dir, ignore_errors=True)

run = subprocess.run(command + ["--bogus"], capture_output=True, timeout=60)
check(run.returncode == 2, "an unknown option exits with 2 (got %d)" % run.returncode)

sys.exit(exit_code())
