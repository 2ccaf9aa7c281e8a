#!/usr/bin/env python3
"""velmora-cli's figures beside what the simulated link itself did in the same run: the router's
shaper counters and the uplink's queue (`tc -s qdisc`, sampled every 0.1 s), the bytes TCP
delivered in order on the client's connections (`ss -ti`, beside each sample) and the server's
log of the upload bodies it received, by tenth of a second. Tells a figure that misreads the
link from a link that carried less (losses, buffers too small to fill it) or a queue that was
not full. Prints one line a run; never fails on figures. Run as root.

  bench/link_truth.py [--cli build/linux-release/cli/velmora-cli | --cli velmora-cli.exe]
                      [--runs N] [--id N] [--wmem BYTES] DOWN/UP@RTT[qQUEUE]

The download's window is the 12 s up to the sample before TCP last delivered at half the rate
ahead of the upload; the upload's runs from 5 to 15 s after the first request the server logged.
Both stand for the program's window after warm-up, which may sit a few tenths of a second away
(the server's count is a guide within a few per cent, not a reference); the upload's last 3 s
for the seconds that its latency under load weighs most. The shaper counts frames,
retransmissions included, so its payload share is the most the program could have read; TCP's
in-order count is what any program could have read, and where it runs ahead of the shaper, bytes
that crossed the link before the window were held behind a loss until inside it.
"""
import argparse, os, re, subprocess, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from scenarios import (Testbed, cap_send_buffers, expected_goodput, last_json, RUN_LIMIT_S,  # noqa: E402
                       shaper_counts, wine_velmora_cli)
from e2e_accuracy import parse_link  # noqa: E402

GOODPUT_SHARE = 1448 / 1514


def bodies_read(tb):
    """Every POST the server finished, (start, end, body bytes), and the body bytes it received
    by tenth of a second, (start, bytes); in wall-clock seconds."""
    posts, arrivals = [], []
    for line in open(os.path.join(tb.state, "log", "access.log"), errors="replace"):
        f = line.rstrip("\n").split("\t")
        if len(f) > 10 and f[1] == "req" and f[5] == "POST":
            end, seconds, body = float(f[0]), float(f[10]), int(f[9])
            posts.append((end - seconds, end, body))
        elif len(f) == 5 and f[1] == "rx":
            arrivals.append((float(f[3]), int(f[4])))
    return posts, arrivals


class InOrderBytes:
    """What TCP has delivered in order on the client's HTTPS connections so far, closed ones
    included. Each connection's count only grows, so a sample that missed or misread one keeps
    its last value."""

    def __init__(self, tb_id):
        self.tb_id, self.seen = tb_id, {}

    def read(self):
        out = subprocess.run(["ip", "netns", "exec", "tb%d-cli" % self.tb_id, "ss", "-tinH", "state", "established",
                              "dport", "= :443"], capture_output=True, text=True).stdout
        key = None
        for line in out.splitlines():
            if not line[:1].isspace():
                key = " ".join(line.split()[2:4])
            elif key and (m := re.search(r"bytes_received:(\d+)", line)):
                self.seen[key] = max(self.seen.get(key, 0), int(m.group(1)))
        return sum(self.seen.values())


def run_once(args, cli, down, up, rtt, queue):
    shaping = ("--queue-ms", queue) if queue else ()
    with Testbed(args.id, "--down-mbit", down, "--up-mbit", up, "--rtt-ms", rtt, *shaping) as tb:
        cap_send_buffers(tb, args.wmem)
        if cli.endswith(".exe"):
            run = wine_velmora_cli(tb, cli)
        else:
            history = os.path.join(tb.work, "history")
            run = lambda: tb.run(cli, "--json", "--history-dir", history, timeout=RUN_LIMIT_S)  # noqa: E731
        samples, stop, in_order = [], threading.Event(), InOrderBytes(args.id)

        def sample():
            while not stop.is_set():
                samples.append((time.time(), *shaper_counts(args.id, "s0"), shaper_counts(args.id, "c0")[0],
                                in_order.read()))
                time.sleep(0.1)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            _, out, _ = run()
        finally:
            stop.set()
            sampler.join()
        record, (posts, arrivals) = last_json(out) or {}, bodies_read(tb)

    def between(t0, t1):
        return [s for s in samples if t0 <= s[0] <= t1]

    def mbit(window, column):
        return (window[-1][column] - window[0][column]) * 8 / max(1e-6, window[-1][0] - window[0][0]) / 1e6

    # The upload's window runs from its first request as the server saw it: after the phase its
    # closed sockets still send what their buffers held, seconds of it on a slow uplink, which
    # the server reads but never answers. The download's ends where TCP's in-order count last
    # grew at half the rate before that, less a sample (the streams close between two): once the
    # program has closed its connections the shaper still passes what the queue held, for no one.
    if not posts:
        return "no upload seen by the server; record %s" % record
    first_request = min(s for s, _, _ in posts)
    busy = [s1[0] for s0, s1 in zip(samples, samples[1:])
            if s1[0] < first_request and (s1[4] - s0[4]) * 8 / max(1e-6, s1[0] - s0[0]) > 0.5 * down * 1e6]
    if len(busy) < 2:
        return "no download seen on the link; record %s" % record
    downloaded = between(busy[-2] - 12, busy[-2])
    uploaded = between(first_request + 5, first_request + 15)
    if len(downloaded) < 4 or len(uploaded) < 4:
        return "too few samples in the windows; record %s" % record

    def ahead(first, last):
        """TCP's in-order bytes over the shaper's payload share between two samples."""
        return (last[4] - first[4]) / max(1, (last[3] - first[3]) * GOODPUT_SHARE)

    got, middle = record.get("downloadMbps") or 0.0, downloaded[len(downloaded) // 2]
    download = ("download %.3f (%.3f of the goodput; %.3f of the shaper's payload share; TCP delivered %.3f of it, "
                "%.3f in the window's first half and %.3f in its second)" % (
                    got, got / expected_goodput(down), got / max(1e-9, mbit(downloaded, 3) * GOODPUT_SHARE),
                    ahead(downloaded[0], downloaded[-1]), ahead(downloaded[0], middle), ahead(middle, downloaded[-1])))
    rate, passed = up * 1e6, mbit(uploaded, 1)
    w0, w1 = uploaded[0][0], uploaded[-1][0]
    read = sum(b * max(0.0, min(t + 0.1, w1) - max(t, w0)) / 0.1 for t, b in arrivals) * 8 / (w1 - w0) / 1e6
    answered = sum(1 for s, e, _ in posts if s < w1 and e > w0)
    queued = [held * 8 / rate * 1000 for t, _, held, _, _ in samples if w1 - 3 <= t <= w1]
    figure = record.get("uploadMbps") or 0.0
    return (download + " | upload %.3f (%.3f of the goodput) | the shaper passed %.3f Mbit/s (%.3f of its rate), "
            "the server received %.3f (%.3f of the shaper's payload share; figure/server %.3f; %d requests in the window) "
            "| added latency %s ms, the uplink queue held %.0f ms over the last 3 s | notes %s"
            % (figure, figure / expected_goodput(up), passed, passed * 1e6 / rate, read,
               read / max(1e-9, passed * GOODPUT_SHARE), figure / max(1e-9, read), answered,
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
