#!/usr/bin/env python3
"""The history report in a real browser: headless Chromium renders the page of a three-entry
history from a file:// URL; the rendered DOM must show three cards, newest first, and the
summary of the newest. A screenshot is kept as a test artifact.

  browser_test.py ARTIFACT_DIR COMMAND...   (COMMAND runs velmora-cli)
"""
import os, re, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testkit import check, exit_code  # noqa: E402

artifacts = sys.argv[1]
command = sys.argv[2:]
chromium = shutil.which("chromium") or shutil.which("chromium-browser")
if not chromium:
    print("chromium is not installed: skipped")
    sys.exit(77)


def block(stamp, down, up, ping, name):
    return ("  <measurement timestamp=\"%s\">\n    <downloadMbps>%s</downloadMbps>\n"
            "    <uploadMbps>%s</uploadMbps>\n    <pingMs>%s</pingMs>\n    <idleLatencyMs>%s</idleLatencyMs>\n"
            "    <downloadLatencyMs>30.00</downloadLatencyMs>\n    <uploadLatencyMs>40.00</uploadLatencyMs>\n"
            "    <publicIp>177.10.20.30</publicIp>\n    <userCity>S\u00e3o Paulo - SP</userCity>\n"
            "    <serverIp>104.16.1.1</serverIp>\n    <serverName>%s</serverName>\n"
            "    <serverLocation>GRU / BR</serverLocation>\n    <status>MEDI\u00c7\u00c3O CONCLU\u00cdDA</status>\n"
            "    <downloadVariation>Oscila\u00e7\u00e3o leve com estabilidade predominante.</downloadVariation>\n"
            "    <uploadVariation>Oscila\u00e7\u00e3o leve e envio consistente.</uploadVariation>\n"
            "    <downloadSamples>80.00,90.00,%s</downloadSamples>\n    <uploadSamples>10.00,%s</uploadSamples>\n"
            "  </measurement>\n") % (stamp, down, up, ping, ping, name, down, up)


work = tempfile.mkdtemp(prefix="velmora-browser-")
try:
    history = ('<?xml version="1.0" encoding="utf-8"?>\n<history product="OBRIX KALDRA" '
               'company="KALDRA NETWORK SECURITY LTDA" version="2.0.3.7">\n'
               + block("2025-03-01 08:00:00", "100.00", "20.00", "15.00", "Cloudflare Speed Test")
               + block("2025-03-02 08:00:00", "200.00", "40.00", "12.00", "Claro SP Capital")
               + block("2025-03-03 08:00:00", "300.00", "60.00", "9.00", "Vivo &amp; Cia")
               + "</history>\n")
    with open(os.path.join(work, "history.xml"), "w", encoding="utf-8", newline="\n") as f:
        f.write(history)
    env = dict(os.environ, XDG_RUNTIME_DIR=work)
    run = subprocess.run(command + ["--report", "--history-dir", work], capture_output=True, env=env, timeout=60)
    check(run.returncode == 0, "velmora-cli --report succeeds")
    page = run.stdout.decode().strip()
    check(os.path.isfile(page), "the report file exists: %s" % page)

    profile = os.path.join(work, "profile")
    base = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + profile]
    dom = subprocess.run(base + ["--dump-dom", "file://" + page], capture_output=True, timeout=90).stdout.decode()
    cards = re.findall(r'<span class="ci">#(\d+)</span><span class="ct">([^<]*)</span>', dom)
    check([c[0] for c in cards] == ["1", "2", "3"], "three cards numbered 1 to 3")
    check([c[1] for c in cards] == ["2025-03-03 08:00:00", "2025-03-02 08:00:00", "2025-03-01 08:00:00"],
          "newest card first")
    check('<div class="sl">Total de Testes</div><div class="sv">3</div>' in dom, "summary counts 3 tests")
    check(re.search(r'&Uacute;lt\. Download</div><div class="sv">300\.00|Últ\. Download</div><div class="sv">300\.00', dom) is not None,
          "summary shows the newest download")
    check("Vivo &amp; Cia" in dom and "São Paulo - SP" in dom, "escaped and non-ASCII text rendered")
    check(dom.count('class="bar"') == 15, "five bars per card")

    os.makedirs(artifacts, exist_ok=True)
    shot = os.path.join(artifacts, "history-report.png")
    subprocess.run(base + ["--screenshot=" + shot, "--window-size=1000,1400", "file://" + page],
                   capture_output=True, timeout=90)
    check(os.path.isfile(shot) and os.path.getsize(shot) > 10000, "screenshot saved: %s" % shot)
finally:
    shutil.rmtree(work, ignore_errors=True)

sys.exit(exit_code())
