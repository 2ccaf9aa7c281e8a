#!/usr/bin/env python3
"""velmora-cli's figures beside what the simulated link itself did in the same run: the
router's shaper counters and the uplink's queue (`tc -s qdisc`, sampled every 0.1 s), and the
server's log of the upload bodies it read. Tells a figure that misreads the link from a link that
carried less (losses, buffers too small to fill it) or a queue that was not full. Prints one line
a run; never fails on figures. Run as root.

  bench/link_truth.py [--cli build/linux-release/cli/velmora-cli | --cli velmora-cli.exe]
                      [--runs N] [--id N] [--wmem BYTES] DOWN/UP@RTT[qQUEUE]

Each phase is found from its shaper: the last stretch in which it carried more than 60 % of its
rate. Its last 12 s (download) or 10 s (upload) stand for the program's window after warm-up
(which may sit a few tenths of a second away, and the upload's a second or two: the server's
count is a guide within a few per cent, not a reference), the upload's last 3 s for the
seconds that its latency under load weighs most. The shaper counts frames, retransmissions
included, so its payload share is the most the program could have read.
"""
import argparse, os, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from scenarios import (Testbed, cap_send_buffers, expected_goodput, last_json, RUN_LIMIT_S,  # noqa: E402
                       shaper_counts, wine_velmora_cli)
from e2e_accuracy import parse_link  # noqa: E402

GOODPUT_SHARE = 1448 / 1514


def bodies_read(tb):
    """Every POST the server finished: (start, end, body bytes), in wall-clock seconds."""
    posts = []
    for line in open(os.path.join(tb.state, "log", "access.log"), errors="replace"):
        f = line.rstrip("\n").split("\t")
        if len(f) > 10 and f[1] == "req" and f[5] == "POST":
            end, seconds, body = float(f[0]), float(f[10]), int(f[9])
            posts.append((end - seconds, end, body))
    return posts


def run_once(args, cli, down, up, rtt, queue):
    shaping = ("--queue-ms", queue) if queue else ()
    with Testbed(args.id, "--down-mbit", down, "--up-mbit", up, "--rtt-ms", rtt, *shaping) as tb:
        cap_send_buffers(tb, args.wmem)
        if cli.endswith(".exe"):
            run = wine_velmora_cli(tb, cli)
        else:
            history = os.path.join(tb.work, "history")
            run = lambda: tb.run(cli, "--json", "--history-dir", history, timeout=RUN_LIMIT_S)  # noqa: E731
        samples, stop = [], threading.Event()

        def sample():
            while not stop.is_set():
                samples.append((time.time(), *shaper_counts(args.id, "s0"), shaper_counts(args.id, "c0")[0]))
                time.sleep(0.1)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            _, out, _ = run()
        finally:
            stop.set()
            sampler.join()
        record, posts = last_json(out) or {}, bodies_read(tb)

    def window_passed(column, mbit, seconds):
        """The end of the last stretch in which the shaper carried most of its rate, the window of
        `seconds` before it and the Mbit/s the shaper passed in it."""
        busy = [s1[0] for s0, s1 in zip(samples, samples[1:])
                if (s1[column] - s0[column]) * 8 / (s1[0] - s0[0]) > 0.6 * mbit * 1e6]
        if not busy:
            return None
        window = [s for s in samples if busy[-1] - seconds <= s[0] <= busy[-1]]
        return (window[0][0], window[-1][0],
                (window[-1][column] - window[0][column]) * 8 / (window[-1][0] - window[0][0]) / 1e6)

    rate = up * 1e6
    downloaded = window_passed(3, down, 12)
    uploaded = window_passed(1, up, 10)
    if not downloaded or not uploaded:
        return "no transfer seen on the link; record %s" % record
    got = record.get("downloadMbps") or 0.0
    download = "download %.3f (%.3f of the goodput; %.3f of the shaper's payload share)" % (
        got, got / expected_goodput(down), got / max(1e-9, downloaded[2] * GOODPUT_SHARE))
    w0, w1, passed = uploaded
    read = sum(b * max(0.0, min(e, w1) - max(s, w0)) / max(1e-6, e - s) for s, e, b in posts) * 8 / (w1 - w0) / 1e6
    queued = [held * 8 / rate * 1000 for t, _, held, _ in samples if w1 - 3 <= t <= w1]
    figure = record.get("uploadMbps") or 0.0
    return (download + " | upload %.3f (%.3f of the goodput) | the shaper passed %.3f Mbit/s (%.3f of its rate), the server read "
            "%.3f (%.3f of the shaper's payload share; figure/server %.3f) | added latency %s ms, the uplink queue "
            "held %.0f ms over the last 3 s | notes %s"
            % (figure, figure / expected_goodput(up), passed, passed * 1e6 / rate, read,
               read / max(1e-9, passed * GOODPUT_SHARE), figure / max(1e-9, read),
               record.get("uploadAddedLatencyMs"), sum(queued) / max(1, len(queued)), record.get("notes")))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", default="build/linux-release/cli/velmora-cli")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--id", type=int, default=203)
    parser.add_argument("--wmem", type=int, default=0, help="cap the client's TCP send buffers at this many bytes")
    parser.add_argument("link")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root (network namespaces, tc)")
    down, up, rtt, queue = parse_link(args.link)
    for n in range(args.runs):
        print("%s run %d: %s" % (args.link, n + 1, run_once(args, os.path.abspath(args.cli), down, up, rtt, queue)),
              flush=True)


if __name__ == "__main__":
    main()
