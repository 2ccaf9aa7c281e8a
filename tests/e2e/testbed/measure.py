#!/usr/bin/env python3
"""Measurements run INSIDE the client namespace (via `testbed exec`); each prints one JSON line.
  measure.py par N URL            N parallel curl GETs; goodput over [first byte .. last byte]
  measure.py get URL              one curl GET; goodput over [first byte .. end]
  measure.py post URL FILE        one curl POST (no Expect: 100-continue); goodput over [request sent .. response]
  measure.py parpost N URL FILE   N parallel curl POSTs of FILE; goodput over [first request sent .. last response]
  measure.py conn HOST PORT N     N plain TCP handshakes; connect() times in ms (negative = refused after |t|)
  measure.py cconn URL N          N curl runs; median curl time_connect in ms
  measure.py loadprobe HOST PORT S  a handshake every 250 ms for S seconds, with the client's rates (one line each)
"""
import json, socket, statistics, subprocess, sys, threading, time

FMT = "%{http_code} %{size_download} %{size_upload} %{time_connect} %{time_pretransfer} %{time_starttransfer} %{time_total}"


def curl(args):
    t0 = time.time()
    p = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", FMT] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    t_end = time.time()
    f = p.stdout.split()
    if p.returncode or len(f) != 7:
        return {"error": (p.stderr or p.stdout).strip(), "rc": p.returncode}
    code, down, up, tc, tpre, tstart, ttot = int(f[0]), int(f[1]), int(f[2]), *map(float, f[3:])
    return {"code": code, "down": down, "up": up, "connect": tc, "pre": tpre, "start": tstart, "total": ttot,
            "launch": t0, "end": t_end, "first": t_end - (ttot - tstart)}


def par(n, url):
    res = [None] * n
    def one(i):
        res[i] = curl([url])
    th = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    t0 = time.time()
    for t in th:
        t.start()
    for t in th:
        t.join()
    t1 = time.time()
    bad = [r for r in res if "error" in r or r["code"] != 200]
    if bad:
        return {"error": bad[0]}
    total = sum(r["down"] for r in res)
    first, last = min(r["first"] for r in res), max(r["end"] for r in res)
    return {"n": n, "bytes": total, "mbit": total * 8 / (last - first) / 1e6, "secs": last - first,
            "mbit_wall": total * 8 / (t1 - t0) / 1e6, "connect_ms": statistics.median(r["connect"] * 1e3 for r in res)}


def get(url):
    r = curl([url])
    if "error" in r:
        return r
    r["mbit"] = r["down"] * 8 / (r["total"] - r["start"]) / 1e6
    return r


def post(url, path):
    r = curl(["-H", "Expect:", "-H", "Content-Type: application/octet-stream", "--data-binary", "@" + path, url])
    if "error" in r:
        return r
    r["mbit"] = r["up"] * 8 / (r["total"] - r["pre"]) / 1e6
    return r


def parpost(n, url, path):
    res = [None] * n
    def one(i):
        res[i] = curl(["-H", "Expect:", "-H", "Content-Type: application/octet-stream", "--data-binary", "@" + path, url])
    th = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in th:
        t.start()
    for t in th:
        t.join()
    bad = [r for r in res if "error" in r or r["code"] != 200]
    if bad:
        return {"error": bad[0]}
    total = sum(r["up"] for r in res)
    first = min(r["launch"] + r["pre"] for r in res)
    last = max(r["end"] for r in res)
    return {"n": n, "bytes": total, "mbit": total * 8 / (last - first) / 1e6, "secs": last - first}


def conn(host, port, n):
    ip = socket.gethostbyname(host)
    v = []
    for _ in range(n):
        s = socket.socket()
        s.settimeout(5)
        t = time.perf_counter()
        try:
            s.connect((ip, port))
            v.append((time.perf_counter() - t) * 1e3)
        except ConnectionRefusedError:
            v.append(-(time.perf_counter() - t) * 1e3)
        except OSError:
            v.append(None)
        s.close()
        time.sleep(0.05)
    ok = [x for x in v if x is not None]
    return {"host": host, "ip": ip, "port": port, "ms": v, "median": statistics.median(ok) if ok else None,
            "refused": any(x is not None and x < 0 for x in v), "timeouts": v.count(None)}


def loadprobe(host, port, seconds):
    """A TCP handshake to host:port every 250 ms for `seconds`, one line each as it goes: wall time,
    handshake ms (None on failure) and the client's receive and send rates (Mbit/s) over the last
    interval, so that a caller can tell which probes fell in a download or an upload."""
    ip = socket.gethostbyname(host)

    def counters():
        with open("/proc/net/dev") as f:
            for line in f:
                name, _, rest = line.partition(":")
                if name.strip() == "eth0":
                    fields = rest.split()
                    return int(fields[0]), int(fields[8])
        return 0, 0

    end = time.monotonic() + seconds
    last, last_t = counters(), time.monotonic()
    while time.monotonic() < end:
        time.sleep(0.25)
        s = socket.socket()
        s.settimeout(5)
        t = time.perf_counter()
        try:
            s.connect((ip, port))
            ms = (time.perf_counter() - t) * 1e3
        except OSError:
            ms = None
        s.close()
        now, now_t = counters(), time.monotonic()
        dt = now_t - last_t
        print(json.dumps([time.time(), ms, (now[0] - last[0]) * 8 / dt / 1e6, (now[1] - last[1]) * 8 / dt / 1e6]),
              flush=True)
        last, last_t = now, now_t
    return {"done": True}


def cconn(url, n):
    v = []
    for _ in range(n):
        r = curl(["-m", "5", url])
        if "error" not in r:
            v.append(r["connect"] * 1e3)
        time.sleep(0.05)
    return {"url": url, "ms": v, "median": statistics.median(v) if v else None}


if __name__ == "__main__":
    a = sys.argv[1:]
    if a[0] == "par":
        out = par(int(a[1]), a[2])
    elif a[0] == "get":
        out = get(a[1])
    elif a[0] == "post":
        out = post(a[1], a[2])
    elif a[0] == "parpost":
        out = parpost(int(a[1]), a[2], a[3])
    elif a[0] == "conn":
        out = conn(a[1], int(a[2]), int(a[3]))
    elif a[0] == "loadprobe":
        out = loadprobe(a[1], int(a[2]), float(a[3]))
    elif a[0] == "cconn":
        out = cconn(a[1], int(a[2]))
    else:
        sys.exit(__doc__)
    print(json.dumps(out))
