#!/usr/bin/env python3
"""How close VELMORA comes to the truth: velmora-cli measures testbed links of known rate and
delay, and in the same testbed curl (8 parallel HTTPS transfers) and iperf3 (8 streams) measure
the same links. Prints one table; never fails on figures. Run as root (it makes its own network
namespaces; see tests/e2e/testbed/README.md).

  bench/e2e_accuracy.py [--cli build/linux-release/cli/velmora-cli]
                        [--wine-cli build/windows/cli/velmora-cli.exe | --no-wine] [DOWN/UP@RTT ...]

The Wine column is the Windows build (WinHTTP, Winsock) of the same program under Wine, in the
same testbed; it is left out when that build does not exist.

Default links: the README's table (Mbit/s and ms). A link may name its queue in ms, as in
20/2@40q500 (a deep one); otherwise the testbed's default (50 ms + the RTT).
"""
import argparse, os, sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import scenarios  # noqa: E402


def parse_link(text):
    rates, path = text.split("@")
    down, up = rates.split("/")
    rtt, _, queue = path.partition("q")
    return float(down), float(up), float(rtt), float(queue) if queue else None


def ratio(value, want):
    return "%6.3f" % (value / want) if value else "   n/a"


def figure(value):
    return "%7.2f" % value if value else "    n/a"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", default="build/linux-release/cli/velmora-cli")
    parser.add_argument("--wine-cli", default="build/windows/cli/velmora-cli.exe")
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--id", type=int, default=202)
    parser.add_argument("--wine-only", action="store_true",
                        help="only the Windows build, one run per link (no curl, iperf3 or probe)")
    parser.add_argument("--wmem", type=int, default=0,
                        help="cap the client's TCP send buffers at this many bytes (with --wine-only)")
    parser.add_argument("links", nargs="*", default=["1/0.5@80", "4/1@60", "10/2@60", "30/5@40", "50/10@20",
                                                      "100/20@30", "300/100@10", "500/100@5", "20/3@300"])
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root (network namespaces, tc, iptables)")
    cli = os.path.abspath(args.cli)
    wine_cli = None if args.no_wine or not os.path.exists(args.wine_cli) else os.path.abspath(args.wine_cli)

    if args.wine_only:
        print("Windows build under Wine, send buffers %s: ratios to the goodput" %
              ("capped at %d bytes" % args.wmem if args.wmem else "as Linux grows them"))
        print("%-10s %9s %9s %9s %9s" % ("link", "down", "ratio", "up", "ratio"))
        for link in args.links:
            down, up, rtt, _ = parse_link(link)
            print("measuring %s ..." % link, file=sys.stderr, flush=True)
            record = scenarios.wine_run(args.id, os.path.abspath(args.wine_cli), down, up, rtt,
                                        args.wmem or None) or {}
            got_down, got_up = record.get("downloadMbps"), record.get("uploadMbps")
            print("%-10s %s %s %s %s" % (link, figure(got_down), ratio(got_down, scenarios.expected_goodput(down)),
                                         figure(got_up), ratio(got_up, scenarios.expected_goodput(up))), flush=True)
        return

    rows = []
    for link in args.links:
        down, up, rtt, queue = parse_link(link)
        print("measuring %s ..." % link, file=sys.stderr, flush=True)
        rows.append(scenarios.accuracy(args.id, cli, down, up, rtt, wine_cli=wine_cli, queue_ms=queue))

    print("Throughput in Mbit/s; expected = rate x 1448/1514 (TCP goodput of a tbf-shaped link);")
    print("ratios against the expected goodput. Latency in ms: VELMORA's idle, under download, under upload.")
    print()
    print("%-10s %-4s %8s %8s %6s %11s %8s %6s %8s %6s %8s %6s | %5s %5s %6s %11s %11s" % (
        "link", "dir", "expected", "VELMORA", "ratio", "live", "Wine", "ratio", "curl", "ratio", "iperf3", "ratio",
        "RTT", "idle", "TCP", "load/probe", "Wine l/p"))
    for row in rows:
        record = row["record"] or {}
        wine_record = row.get("wine") or {}
        link = "%g/%g@%g" % (row["down"], row["up"], row["rtt"])
        link += "q%g" % row["queue_ms"] if row.get("queue_ms") else ""
        for direction, rate, key, curl, iperf, loaded, samples in (
                ("down", row["down"], "downloadMbps", row.get("curl_down"), row.get("iperf_down"), "downloadLatencyMs",
                 "downloadSamples"),
                ("up", row["up"], "uploadMbps", row.get("curl_up"), row.get("iperf_up"), "uploadLatencyMs",
                 "uploadSamples")):
            want = scenarios.expected_goodput(rate)
            mine = record.get(key)
            wine = wine_record.get(key)
            print("%-10s %-4s %8.2f %s %s %11s %s %s %s %s %s %s | %5g %5s %6s %11s %11s" % (
                link if direction == "down" else "", direction, want, figure(mine), ratio(mine, want),
                live_range(record.get(samples), want),
                figure(wine), ratio(wine, want), figure(curl), ratio(curl, want), figure(iperf), ratio(iperf, want),
                row["rtt"], record.get("idleLatencyMs", "n/a") if direction == "down" else "",
                "%.2f" % row["connect_ms"] if direction == "down" and row.get("connect_ms") else "",
                loaded_pair(record.get(loaded), row.get("probe", {}).get(direction)),
                loaded_pair(wine_record.get(loaded), row.get("wine_probe", {}).get(direction))))
    print()
    print("VELMORA = velmora-cli (libcurl); Wine = velmora-cli.exe under Wine (WinHTTP). Idle is VELMORA's.")
    print("live = the range of VELMORA's last live values (the chart's, before the final figure), as ratios.")
    print("TCP = median of 10 plain TCP handshakes to the edge from Python (the path's own RTT). load/probe =")
    print("the program's latency under that load / the median handshake of an independent probe during the")
    print("same run (every 250 ms, from 5 s into each direction's load).")


def live_range(samples, want):
    live = (samples or [])[:-1]
    if not live:
        return "n/a"
    return "%.3f-%.3f" % (min(live) / want, max(live) / want)


def loaded_pair(mine, probe):
    if mine is None or probe is None:
        return "n/a"
    return "%.0f/%.0f" % (mine, probe)


if __name__ == "__main__":
    main()
