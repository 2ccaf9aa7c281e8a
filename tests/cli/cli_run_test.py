#!/usr/bin/env python3
"""velmora-cli end to end against the loopback speed server paced like a 200 / 50 Mbit/s link.

  cli_run_test.py CONTROL_PORT COMMAND...   (COMMAND runs velmora-cli, possibly under Wine)

Checks: --json prints one record whose figures match the pace (within 5 %); a run that reaches
no server ends with status 1 and says so; an unknown option gives status 2.
"""
import json, socket, subprocess, sys

DOWN_MBIT, UP_MBIT = 200.0, 50.0
control = int(sys.argv[1])
command = sys.argv[2:]
failures = []


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

run = subprocess.run(command + ["--json"] + endpoint, capture_output=True, timeout=120)
check(run.returncode == 0, "a finished run exits with 0 (got %d)" % run.returncode)
lines = [l for l in run.stdout.decode("utf-8").splitlines() if l.strip()]
check(len(lines) == 1, "--json prints exactly one line")
record = json.loads(lines[-1])
print("paced %.0f / %.0f Mbit/s -> velmora-cli %.2f / %.2f Mbit/s" % (DOWN_MBIT, UP_MBIT, record["downloadMbps"], record["uploadMbps"]))
check(abs(record["downloadMbps"] - DOWN_MBIT) <= 0.05 * DOWN_MBIT, "download within 5 % of the pace")
# Upload bytes count once the transport has taken them, and on loopback every connection may
# queue megabytes in its socket buffers: how full those are when a 16 MiB body ends moves the
# figure by a few percent either way (see the run's loopback test, which uses 1 MiB bodies).
check(abs(record["uploadMbps"] - UP_MBIT) <= 0.08 * UP_MBIT, "upload within 8 % of the pace")
check(record["status"] == "MEDIÇÃO CONCLUÍDA", "status is MEDIÇÃO CONCLUÍDA")
check(record["serverName"] == "Cloudflare Speed Test" and record["serverIp"] == host, "server named and addressed")
check(record["userCity"] == "São Paulo - São Paulo", "the user's city from the geolocation answer")
check(list(record)[:3] == ["timestamp", "downloadMbps", "uploadMbps"] and len(record) == 17, "the record's 17 fields, in order")
check(record["downloadSamples"][-1] == record["downloadMbps"], "the chart ends with the final download")

refused = ["--no-operators", "--geo", "127.0.0.1:1", "--cloudflare", "127.0.0.1:1:plain", "--latency-ports", "1,1"]
run = subprocess.run(command + refused, capture_output=True, timeout=60)
check(run.returncode == 1, "a failed run exits with 1 (got %d)" % run.returncode)
check("ERRO NA MEDIÇÃO" in run.stderr.decode("utf-8", "replace"), "a failed run says ERRO NA MEDIÇÃO")

run = subprocess.run(command + ["--bogus"], capture_output=True, timeout=60)
check(run.returncode == 2, "an unknown option exits with 2 (got %d)" % run.returncode)

sys.exit(1 if failures else 0)
