#!/usr/bin/env python3
"""What a user sees, and after how long, when a server misbehaves: velmora-cli with its real
time-outs and phase lengths against the loopback speed server, one fault per run, each at one
stage. Prints one table row per fault; never fails on figures. Run inside a private network
namespace (root), for example:

  scripts/isolated.sh python3 bench/fault_times.py [--cli build/linux/cli/velmora-cli]
                                                   [--wine build/windows/cli/velmora-cli.exe]
"""
import argparse, json, os, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import testkit  # noqa: E402
SERVER = os.path.join(HERE, "..", "tests", "support", "speed_server.py")
CONTROL = 47190
PACE_DOWN_MBIT, PACE_UP_MBIT = 100, 20  # both listeners, like a common link

# (fault, stage, listener options). The stage says which endpoint gets the faulty listener; a
# `only=` option confines the fault to one path of the speed endpoint.
FAULTS = [
    ("geolocation stalls", "geo", "mode=stall"),
    ("geolocation drips (1 byte / 5 s)", "geo", "mode=trickle rate=0.2"),
    ("geolocation redirects", "geo", "mode=status status=302"),
    ("trace stalls", "speed", "mode=stall only=/cdn-cgi/trace"),
    ("download stalls", "speed", "mode=stall only=/__down"),
    ("download body never ends", "speed", "mode=endless rate=2000000 only=/__down"),
    ("download reset mid-body", "speed", "mode=reset only=/__down"),
    ("download redirects", "speed", "mode=status status=302 only=/__down"),
    ("upload body never read", "speed", "mode=noread only=/__up"),
    ("upload answer stalls", "speed", "mode=stall only=/__up"),
    ("upload answer never ends", "speed", "mode=endless rate=2000000 only=/__up"),
    ("upload redirects", "speed", "mode=status status=302 only=/__up"),
]


def ask(line):
    return testkit.ask("127.0.0.1:%d" % CONTROL, line).split()


def run_one(command, options, stage, native):
    pace = "pace_down=%d pace_up=%d" % (PACE_DOWN_MBIT * 125000, PACE_UP_MBIT * 125000)
    _, host, port = ask("listen addr=auto " + pace)
    _, _, bad = ask("listen addr=%s %s %s" % (host, pace, options))
    geo = bad if stage == "geo" else port
    speed = bad if stage == "speed" else port
    folder = tempfile.mkdtemp(prefix="velmora-fault-")
    args = command + ["--json", "--no-operators", "--history-dir", native(folder),
                      "--geo", "%s:%s" % (host, geo), "--cloudflare", "%s:%s:plain" % (host, speed),
                      "--latency-ports", "%s,%s" % (port, port)]
    start = time.monotonic()
    try:
        done = subprocess.run(args, capture_output=True, timeout=300)
        took = time.monotonic() - start
        record = json.loads(done.stdout.decode("utf-8").splitlines()[-1]) if done.returncode == 0 else {}
        if done.returncode == 0:
            seen = "done, %.1f / %.1f Mbit/s, %s" % (record["downloadMbps"], record["uploadMbps"],
                                                     record["publicIp"])
        else:
            seen = "ERRO NA MEDIÇÃO"
    except subprocess.TimeoutExpired:
        took, seen = time.monotonic() - start, "still running, killed"
    return seen, took


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", default="build/linux/cli/velmora-cli")
    parser.add_argument("--wine", help="the Windows build's velmora-cli.exe, run under scripts/wine-run.sh")
    args = parser.parse_args()
    subprocess.run([sys.executable, SERVER, "start", "--control", "127.0.0.1:%d" % CONTROL, "--idle-exit", "600"],
                   check=True, stdout=subprocess.DEVNULL)
    builds = [("libcurl", [os.path.abspath(args.cli)], lambda p: p)]
    if args.wine:
        # Wine's prefix is the build folder's, found by climbing from the program.
        os.environ.setdefault("VELMORA_WINE_ROOT", os.path.dirname(os.path.abspath(args.wine)))
        wine = os.path.join(HERE, "..", "scripts", "wine-run.sh")
        builds.append(("WinHTTP (Wine)", [wine, os.path.abspath(args.wine)], lambda p: "Z:" + p))
    try:
        print("| fault | build | what the user sees | seconds |")
        print("|---|---|---|---|")
        for name, stage, options in FAULTS:
            for build, command, native in builds:
                seen, took = run_one(command, options, stage, native)
                print("| %s | %s | %s | %.0f |" % (name, build, seen, took), flush=True)
    finally:
        ask("quit")


if __name__ == "__main__":
    main()
