#!/usr/bin/env python3
"""velmora-cli's proof for the operator on a recorded month (tests/cli/fixtures/month, whose
figures were worked out by hand in its expected.md): the plan stored, --conformidade checked row
by row with and without the Wi-Fi runs its log names, the dossier page rendered by headless
Chromium (screenshot kept as an artifact) with the count and digest it states, and bad input
answered with status 2, nothing rewritten.

  compliance_test.py ARTIFACT_DIR COMMAND...   (COMMAND runs velmora-cli)
"""
import calendar, hashlib, json, os, re, shutil, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from testkit import check, exit_code  # noqa: E402

artifacts = sys.argv[1]
command = sys.argv[2:]
FIXTURE = os.path.join(HERE, "fixtures", "month", "history.xml")
DONE = "MEDIÇÃO CONCLUÍDA"
under_wine = command[0].endswith("wine-run.sh")
# The history's times are local: the runs are read in UTC so that the log's ticks match them.
ENV = dict(os.environ, TZ="UTC")


def ticks(local):
    return calendar.timegm(time.strptime(local, "%Y-%m-%d %H:%M:%S")) * 10_000_000


def native_path(path):
    """The path as the program sees it: under Wine the Unix root is drive Z:."""
    return "Z:" + path if under_wine else path


def cli(folder, *args):
    run = subprocess.run(command + ["--history-dir", native_path(folder)] + list(args), capture_output=True, env=ENV, timeout=60)
    return run.returncode, run.stdout.decode("utf-8"), run.stderr.decode("utf-8")


def digest_of(folder):
    return {name: hashlib.sha256(open(os.path.join(folder, name), "rb").read()).hexdigest()
            for name in sorted(os.listdir(folder))}


work = tempfile.mkdtemp(prefix="velmora-month-")
try:
    plain, logged = os.path.join(work, "plain"), os.path.join(work, "logged")
    for folder in (plain, logged):
        os.makedirs(folder)
        shutil.copy(FIXTURE, os.path.join(folder, "history.xml"))
    # The log names the two Wi-Fi runs (with their jitter); a line of another version and one that
    # is not JSON are skipped and counted.
    wifi = [("2026-11-28 20:30:00", 30.0, 9.1, 35.0, 12.5), ("2026-11-29 11:45:00", 38.5, 12.2, 28.0, 61.0)]
    with open(os.path.join(logged, "velmora-cli.jsonl"), "w", encoding="utf-8") as f:
        for stamp, down, up, ping, jitter in wifi:
            f.write(json.dumps({"logFormat": 1, "timestamp": ticks(stamp), "downloadMbps": down, "uploadMbps": up,
                                "pingMs": ping, "status": DONE, "idleJitterMs": jitter, "connection": "wifi",
                                "connectionInterface": "wlan0"}, ensure_ascii=False) + "\n")
        f.write('{"logFormat":7,"timestamp":1,"status":"x"}\nnão é JSON\n')

    code, _, err = cli(logged, "--conformidade")
    check(code == 2 and "nenhum plano guardado" in err, "without a plan: status 2 and a message (%d, %s)" % (code, err.strip()))
    code, out, _ = cli(logged, "--plano", "100/20")
    check(code == 0 and "100.00/20.00" in out, "--plano 100/20 stored: %s" % out.strip())
    shutil.copy(os.path.join(logged, "plano.txt"), plain)
    before = digest_of(logged)

    def month(folder, *extra):
        code, out, err = cli(folder, "--conformidade", "2026-11", "--json", *extra)
        body = json.loads(out) if code == 0 else {}
        months = body.get("months", [])
        return code, (months[0] if len(months) == 1 else {}), err

    # Row by row, as expected.md has them.
    code, m, err = month(logged)
    check(code == 0 and "1 inválidas, 1 de outra versão" in err, "bad log lines skipped and counted: %s" % err.strip())
    rows = [("runs counted / 10h-22h / Wi-Fi / not counted / in the figures",
             [m.get(k) for k in ("runs", "peakHourRuns", "wifiOrVpnRuns", "uncountedRuns", "usedRuns")], [29, 23, 2, 1, 27]),
            ("download >= 40 %", [m.get("download", {}).get(k) for k in ("meeting", "judged", "met")], [25, 27, False]),
            ("upload >= 40 %", [m.get("upload", {}).get(k) for k in ("meeting", "judged", "met")], [26, 27, True]),
            ("mean download", [round(m.get("downloadMean", {}).get("meanMbps") or 0, 4), m.get("downloadMean", {}).get("met")],
             [81.7148, True]),
            ("mean upload", [round(m.get("uploadMean", {}).get("meanMbps") or 0, 4), m.get("uploadMean", {}).get("met")],
             [15.8648, False]),
            ("ping <= 80 ms", [m.get("latency", {}).get(k) for k in ("meeting", "judged", "met")], [26, 27, True]),
            ("jitter <= 50 ms (the Wi-Fi runs, the only ones with one, left out)",
             [m.get("jitter", {}).get(k) for k in ("judged", "met")], [0, None])]
    code, m, _ = month(logged, "--incluir-wifi")
    rows += [("with Wi-Fi: in the figures", [m.get("usedRuns")], [29]),
             ("with Wi-Fi: download >= 40 %", [m.get("download", {}).get(k) for k in ("meeting", "judged")], [25, 29]),
             ("with Wi-Fi: mean download", [round(m.get("downloadMean", {}).get("meanMbps") or 0, 4),
                                            m.get("downloadMean", {}).get("met")], [78.4414, False]),
             ("with Wi-Fi: jitter from the log", [m.get("jitter", {}).get(k) for k in ("meeting", "judged")], [1, 2])]
    for name, got, want in rows:
        check(got == want, "2026-11 %s: %s (expected %s)" % (name, got, want))

    code, out, _ = cli(logged, "--conformidade")
    check(code == 0 and [l[:7] for l in out.splitlines() if re.match(r"^\d{4}-\d\d:", l)] == ["2026-10", "2026-11", "2026-12"],
          "every month, oldest first, on the console")
    check("não é a medição oficial da Anatel" in out or "não a medição oficial da Anatel" in out,
          "the console says it is not Anatel's official measurement")

    # The dossier: without the log its digest is the one worked out independently.
    page = os.path.join(work, "dossie.html")
    code, out, _ = cli(plain, "--conformidade", "2026-11", "--dossie", native_path(page))
    check(code == 0 and "30 medições, SHA-256 b601b1a66bda55d8b9c69cf2a4c81dfb2990f26136a7353fbc0bea2b7af35176" in out,
          "the dossier of 2026-11 lists 30 runs with the expected digest: %s" % out.strip())
    code, out, _ = cli(logged, "--dossie", native_path(page))
    stated = re.search(r"(\d+) medições, SHA-256 ([0-9a-f]{64})", out)
    html = open(page, encoding="utf-8").read() if os.path.exists(page) else ""
    check(code == 0 and stated and stated.group(1) == "32" and stated.group(2) in html,
          "the whole dossier states its count and digest on the page")
    check(digest_of(logged) == dict(before), "the history, the log and the plan are left as they were")

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium and html:
        profile = os.path.join(work, "profile")
        base = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + profile]
        dom = subprocess.run(base + ["--dump-dom", "file://" + page], capture_output=True, timeout=90).stdout.decode()
        check("Claro &amp; &lt;NET&gt;" in dom and "<NET>" not in dom, "the page shows the stored server name as text")
        check(dom.count("<tr") >= 32 and "Wi-Fi" in dom, "every run rendered, the Wi-Fi ones named")
        os.makedirs(artifacts, exist_ok=True)
        shot = os.path.join(artifacts, "dossie.png")
        subprocess.run(base + ["--screenshot=" + shot, "--window-size=900,2400", "file://" + page],
                       capture_output=True, timeout=90)
        check(os.path.isfile(shot) and os.path.getsize(shot) > 20000, "screenshot saved: %s" % shot)

    bad = [(["--plano", "0/10"], 2), (["--plano", "300"], 2), (["--conformidade", "2026-13"], 2),
           (["--conformidade", "novembro"], 2), (["--orcamento-dados", "muito"], 2)]
    for args, want in bad:
        code, _, err = cli(logged, *args)
        check(code == want and err.startswith("velmora-cli: ") and err.count("\n") > 0,
              "%s: status %d and a message" % (" ".join(args), code))
    check(digest_of(logged) == dict(before), "bad input changes nothing")

    # The campaign: a month whose runs nearly spent the budget skips the next run, in one line,
    # without measuring; the README's cron line does the same (its pause shimmed away).
    spent = os.path.join(work, "spent")
    os.makedirs(spent)
    with open(os.path.join(spent, "velmora-cli.jsonl"), "w") as f:
        f.write(json.dumps({"logFormat": 1, "timestamp": int(time.time()) * 10_000_000, "status": DONE,
                            "bytesReceived": 19_000_000_000, "bytesSent": 500_000_000}) + "\n")
    began = time.monotonic()
    code, out, _ = cli(spent, "--orcamento-dados", "20GB", "--no-operators", "--geo", "127.0.0.1:1")
    check(code == 0 and out.startswith("Medição pulada: os dados usados neste mês (19.50 GB)")
          and time.monotonic() - began < 30, "over the data budget the run is skipped: %s" % out.strip())
    check(sorted(os.listdir(spent)) == ["velmora-cli.jsonl"], "… and nothing is stored")
    if not under_wine:
        campaign = os.path.join(HERE, "..", "..", "docs", "campanha")
        home = os.path.join(work, "home")
        shim = os.path.join(work, "shim")
        os.makedirs(os.path.join(home, ".local", "bin"))
        os.makedirs(shim)
        os.symlink(os.path.abspath(command[-1]), os.path.join(home, ".local", "bin", "velmora-cli"))
        shutil.copytree(spent, os.path.join(home, ".local", "share", "velmora"))
        with open(os.path.join(shim, "sleep"), "w") as f:
            f.write("#!/bin/sh\necho \"$@\" > %s/paused\n" % work)
        os.chmod(os.path.join(shim, "sleep"), 0o755)
        line = [l for l in open(os.path.join(campaign, "crontab.txt")) if not l.startswith("#")][0].split(None, 5)
        run = subprocess.run(["/bin/sh", "-c", line[5]], capture_output=True, timeout=60,
                             env=dict(ENV, HOME=home, PATH=shim + ":/usr/bin:/bin"))
        pause = open(os.path.join(work, "paused")).read().split() if os.path.exists(os.path.join(work, "paused")) else []
        check(line[:5] == ["0", "10-21", "*", "*", "*"] and run.returncode == 0 and pause
              and 0 <= int(pause[0]) <= 1800, "the cron line runs hourly from 10h to 21h after a pause of %s s" % pause)
        if shutil.which("systemd-analyze"):
            units = os.path.join(work, "units")
            os.makedirs(units)
            for name in ("velmora-campanha.service", "velmora-campanha.timer"):
                text = open(os.path.join(campaign, name)).read().replace("%h/.local/bin/velmora-cli", "/bin/true")
                open(os.path.join(units, name), "w").write(text)
            verify = subprocess.run(["systemd-analyze", "verify"] + [os.path.join(units, n) for n in sorted(os.listdir(units))],
                                    capture_output=True, text=True)
            spec = re.search(r"^OnCalendar=(.+)$", open(os.path.join(units, "velmora-campanha.timer")).read(), re.M).group(1)
            times = subprocess.run(["systemd-analyze", "calendar", "--iterations=13", spec], capture_output=True, text=True).stdout
            hours = [int(h) for h in re.findall(r"(?:Next elapse|Iter\. #\d+): \w+ [\d-]+ (\d\d):00:00", times)]
            check(verify.returncode == 0 and verify.stderr == "" and len(hours) == 13 and set(hours) == set(range(10, 22)),
                  "the systemd timer verifies and fires hourly from 10h to 21h: %s %s" % (sorted(set(hours)), verify.stderr.strip()))
finally:
    shutil.rmtree(work, ignore_errors=True)

sys.exit(exit_code())
