#!/usr/bin/env python3
"""Throughput of the meter's transfer path next to curl's, against the loopback speed server.

Runs 8 download streams, then 8 upload streams, with the meter's own protocol code
(velmora_transfer_bench, native and, if built, under Wine) and with curl doing the same
transfers in parallel, in the same run. Prints Mbit/s, the ratio to curl and the client's CPU
seconds per GB. Figures only: nothing here passes or fails.

  bench/transfer_bench.py [--seconds 5] [--streams 8] [--no-wine]
Needs root: it runs itself in the tests' private loopback-only network namespace.
"""
import argparse, os, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import testkit  # noqa: E402
CONTROL = 47200


def isolate():
    if os.environ.get("VELMORA_ISOLATED_NET") != "1":
        os.environ["VELMORA_LOOPBACK_BUFFERS"] = "default"
        os.execv(os.path.join(ROOT, "scripts", "isolated.sh"),
                 [os.path.join(ROOT, "scripts", "isolated.sh"), sys.executable] + sys.argv)


def ask(line):
    return testkit.ask("127.0.0.1:%d" % CONTROL, line)


def timed(cmd, env=None):
    """Runs cmd; returns (stdout, wall seconds, CPU seconds of the process and its children, peak
    resident MB of the largest of them). The peak comes from /usr/bin/time, whose own children
    start small: a child forked from this script would inherit its peak, the upload file's
    16 MiB included."""
    with tempfile.NamedTemporaryFile() as peak:
        start = time.monotonic()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + cmd,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        out = proc.stdout.read().decode()
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        if status != 0:
            raise RuntimeError("%s failed (%d)" % (cmd[0], status))
        return out, wall, usage.ru_utime + usage.ru_stime, int(peak.read().split()[-1]) / 1000


def meter(cmd, direction, streams, seconds, env=None):
    out, _, cpu, peak = timed(cmd + ["127.0.0.1", str(PORT), direction, str(streams), str(seconds)], env)
    fields = dict(kv.split("=") for kv in out.split())
    return int(fields["bytes"]), float(fields["seconds"]), cpu, peak


def curl(direction, streams, seconds, rate_hint, payload):
    # Enough 25 MB transfers to last about as long as the meter's run at the meter's rate.
    size = 25_000_000 if direction == "download" else os.path.getsize(payload)
    count = max(streams, int(rate_hint * seconds / size / streams + 1) * streams)
    url = "http://127.0.0.1:%d/%s" % (PORT, "__down?bytes=25000000" if direction == "download" else "__up")
    cmd = ["curl", "-s", "--fail", "--parallel", "--parallel-max", str(streams)]
    if direction == "upload":
        cmd += ["-H", "Content-Type: application/octet-stream", "--data-binary", "@" + payload]
    for _ in range(count):
        cmd += ["-o", "/dev/null", url]
    _, wall, cpu, peak = timed(cmd)
    return count * size, wall, cpu, peak


def row(name, moved, wall, cpu, peak, reference=None):
    if moved == 0:
        print("  %-26s moved nothing: the client failed" % name)
        return 0.0
    mbit = moved * 8 / wall / 1e6
    per_gb = cpu / (moved / 1e9) if moved else float("nan")
    ratio = "" if reference is None else "%.2f" % (mbit / reference)
    print("  %-26s %10.0f Mbit/s  %6.3f CPU s/GB  %6.1f MB peak  %s" % (name, mbit, per_gb, peak, ratio))
    return mbit


def main():
    global PORT
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=5)
    p.add_argument("--streams", type=int, default=8)
    p.add_argument("--no-wine", action="store_true")
    args = p.parse_args()
    isolate()

    native = os.path.join(ROOT, "build", "linux-release", "bench", "velmora_transfer_bench")
    windows = os.path.join(ROOT, "build", "windows", "bench", "velmora_transfer_bench.exe")
    server = os.path.join(ROOT, "tests", "support", "speed_server.py")
    subprocess.check_call([sys.executable, server, "start", "--control", "127.0.0.1:%d" % CONTROL,
                           "--idle-exit", "120"], stdout=subprocess.DEVNULL)
    try:
        PORT = int(ask("listen addr=127.0.0.1 port=0").split()[2])
        payload = tempfile.NamedTemporaryFile(delete=False)
        payload.write(b"N" * (16 << 20))
        payload.close()
        wine_env = dict(os.environ, VELMORA_WINE_ROOT=os.path.join(ROOT, "build", "windows"))
        use_wine = not args.no_wine and os.path.exists(windows)
        if use_wine:
            subprocess.call([os.path.join(ROOT, "scripts", "wine-run.sh"), "--warm"], env=wine_env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print("%d streams, %.0f s per client, loopback HTTP, %d cores" % (args.streams, args.seconds, os.cpu_count()))
        for direction in ("download", "upload"):
            print(direction)
            moved, wall, cpu, peak = meter([native], direction, args.streams, args.seconds)
            rate = moved / wall
            c_moved, c_wall, c_cpu, c_peak = curl(direction, args.streams, args.seconds, rate, payload.name)
            ref = row("curl --parallel", c_moved, c_wall, c_cpu, c_peak)
            row("velmora (libcurl, native)", moved, wall, cpu, peak, ref)
            if use_wine:
                moved, wall, cpu, peak = meter([os.path.join(ROOT, "scripts", "wine-run.sh"), windows],
                                               direction, args.streams, args.seconds, wine_env)
                row("velmora (WinHTTP, Wine)", moved, wall, cpu, peak, ref)
        if use_wine:
            subprocess.call([os.path.join(ROOT, "scripts", "wine-run.sh"), "--stop"], env=wine_env)
        os.unlink(payload.name)
    finally:
        subprocess.call([sys.executable, server, "stop", "--control", "127.0.0.1:%d" % CONTROL],
                        stdout=subprocess.DEVNULL)


main()
