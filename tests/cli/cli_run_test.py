#!/usr/bin/env python3
"""velmora-cli end to end against the loopback speed server paced like a 200 / 50 Mbit/s link.

  cli_run_test.py CONTROL_PORT COMMAND...   (COMMAND runs velmora-cli, possibly under Wine)

Checks: --json prints one record whose figures match the pace (within 5 %); a run that reaches
no server ends with status 1 and says so; an unknown option gives status 2.
"""
import json, os, shutil, socket, subprocess, sys, tempfile

DOWN_MBIT, UP_MBIT = 200.0, 50.0
control = int(sys.argv[1])
command = sys.argv[2:]
failures = []
under_wine = command[0].endswith("wine-run.sh")


def native_path(path):
    """The path as the program sees it: under Wine the Unix root is drive Z:."""
    return "Z:" + path if under_wine else path


def ask(line):
    with socket.create_connection(("127.0.0.1", control)) as s:
        s.sendall((line + "\n").encode())
        return s.makefile().readline().split()


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


_, host, port = ask("listen addr=auto pace_down=%d pace_up=%d" % (DOWN_MBIT * 1e6 / 8, UP_MBIT * 1e6 / 8))
endpoint = ["--no-operators", "--geo", "%s:%s" % (host, port), "--cloudflare", "%s:%s:plain" % (host, port),
            "--latency-ports", "%s,%s" % (port, port)]

history_dir = tempfile.mkdtemp(prefix="velmora-cli-")
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
check(list(record)[:3] == ["timestamp", "downloadMbps", "uploadMbps"] and len(record) == 17, "the record's 17 fields, in order")
check(record["downloadSamples"][-1] == record["downloadMbps"], "the chart ends with the final download")

with open(os.path.join(history_dir, "history.xml"), encoding="utf-8") as f:
    history = f.read()
check(history.count("<measurement ") == 1, "the finished run is stored in the history")
check("<downloadMbps>%.2f</downloadMbps>" % record["downloadMbps"] in history, "the stored download matches")
run = subprocess.run(command + ["--report", "--history-dir", native_path(history_dir)], capture_output=True, timeout=60,
                     env=dict(os.environ, XDG_RUNTIME_DIR=history_dir))
check(run.returncode == 0 and run.stdout.decode().strip().endswith("index.html"), "--report prints the page's path")
shutil.rmtree(history_dir, ignore_errors=True)

refused = ["--no-operators", "--geo", "127.0.0.1:1", "--cloudflare", "127.0.0.1:1:plain", "--latency-ports", "1,1"]
run = subprocess.run(command + refused, capture_output=True, timeout=60)
check(run.returncode == 1, "a failed run exits with 1 (got %d)" % run.returncode)
check("ERRO NA MEDIÇÃO" in run.stderr.decode("utf-8", "replace"), "a failed run says ERRO NA MEDIÇÃO")

run = subprocess.run(command + ["--bogus"], capture_output=True, timeout=60)
check(run.returncode == 2, "an unknown option exits with 2 (got %d)" % run.returncode)

sys.exit(1 if failures else 0)
