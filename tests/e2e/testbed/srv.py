#!/usr/bin/env python3
"""Testbed HTTP/HTTPS server: impersonates ip-api.com, speed.cloudflare.com and Ookla-style HTTP servers.

One process, one blocking thread per connection (OpenSSL and socket I/O release the GIL, so TLS work
spreads over both cores). Listeners come from a JSON config (written by `testbed up`):
  {"log": path, "listeners": [{"addr", "port", "tls": null|"good"|"bad", "role", "name"}],
   "certs": {"good": [crt, key], "bad": [crt, key]}, "geo": {...}, "trace": {"colo", "loc"}}
Roles: ipapi (GET /json/...), cloudflare (/__down, /__up, /cdn-cgi/trace), ookla (/download, /upload),
proxy (CONNECT name:port to any testbed host, then a plain tunnel).
Every connection and request is logged to the access log (one line each, tab separated), and the
bytes of request bodies by tenth of a second ("rx" lines).
"""
import json, os, socket, ssl, sys, threading, time, urllib.parse

# The request reader is shared with the tests' loopback speed server.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "support"))
from http_wire import RECV, Close, WireConn, num, parse_head, q1  # noqa: E402

CFG = json.load(open(sys.argv[1]))
LOG = open(CFG["log"], "a", buffering=1)
LOCK = threading.Lock()
PAT = memoryview(os.urandom(1 << 20) * 4)  # 4 MiB of noise, sent in slices


def log(*f):
    with LOCK:
        LOG.write("%.6f\t" % time.time() + "\t".join(str(x) for x in f) + "\n")


class Conn(WireConn):
    def __init__(self, sock, peer, lst):
        super().__init__(sock)
        self.peer, self.l = peer, lst
        self.tls = None
        self.keep = True
        self.head_only = False
        self.tenth, self.rx = None, 0

    def arrived(self, n):
        """Body bytes by tenth of a second, one "rx" line each in the log: when the link delivered
        an upload, not only which requests ended."""
        tenth = int(time.time() * 10)
        if tenth != self.tenth:
            self.note_arrivals()
            self.tenth = tenth
        self.rx += n

    def note_arrivals(self):
        if self.rx:
            log("rx", "%s:%d" % self.peer, "%.1f" % (self.tenth / 10), self.rx)
            self.rx = 0

    def send(self, status, ctype, body, keep, extra=()):
        reason = {200: "OK", 301: "Moved Permanently", 400: "Bad Request", 403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed", 500: "Internal Server Error"}[status]
        n = body if isinstance(body, int) else len(body)
        h = ["HTTP/1.1 %d %s" % (status, reason), "Date: " + time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime()),
             "Server: testbed", "Content-Type: " + ctype, "Content-Length: %d" % n, "Cache-Control: no-store",
             "Connection: " + ("keep-alive" if keep and self.keep else "close")] + list(extra)
        hb = ("\r\n".join(h) + "\r\n\r\n").encode()
        if self.head_only:
            self.s.sendall(hb)
            return 0
        if isinstance(body, int):
            self.s.sendall(hb)
            left = body
            while left > 0:
                k = min(left, len(PAT))
                self.s.sendall(PAT[:k])
                left -= k
        else:
            self.s.sendall(hb + body)
        return n


GEO_ORDER = ["status", "message", "country", "countryCode", "region", "regionName", "city", "zip", "lat", "lon",
             "timezone", "isp", "org", "as", "query"]


def ipapi(c, meth, path, qs, hdr):
    g = CFG["geo"]
    mode = g.get("mode", "ok")
    if mode == "error500":
        return c.send(500, "text/plain", b"internal error\n", True), 500
    if mode == "garbage":
        return c.send(200, "application/json; charset=utf-8", b"<html>not json</html>", True), 200
    if mode == "slow":
        time.sleep(float(g.get("slow_s", 10)))
    if not (path == "/json" or path.startswith("/json/")):
        return c.send(404, "text/plain", b"404 page not found\n", True), 404
    ip = g.get("query") or c.peer[0]
    if mode == "fail":
        obj = {"status": "fail"}
        want = None
    else:
        obj = {"status": "success", "country": g.get("country", "Brazil"), "countryCode": g.get("countryCode", "BR"),
               "region": g.get("regionCode", "SP"), "regionName": g["region"], "city": g["city"], "zip": "01000",
               "lat": g["lat"], "lon": g["lon"], "timezone": "America/Sao_Paulo", "isp": g["isp"],
               "org": g["isp"], "as": "AS64500 " + g["isp"], "query": ip}
        f = q1(qs, "fields")
        want = set(f.split(",")) if f else None
    out = {k: obj[k] for k in GEO_ORDER if k in obj and (want is None or k in want or k == "status")}
    body = json.dumps(out, ensure_ascii=False, separators=(",", ":")).encode()
    return c.send(200, "application/json; charset=utf-8", body, True), 200


def trace(c, hdr):
    t = CFG["trace"]
    ver = c.s.version() if c.tls else None
    lines = ["fl=466f%d" % (os.getpid() % 100), "h=" + hdr.get("host", c.l["name"]).split(":")[0], "ip=" + c.peer[0],
             "ts=%.3f" % time.time(), "visit_scheme=" + ("https" if c.tls else "http"), "uag=" + hdr.get("user-agent", ""),
             "colo=" + t["colo"], "sliver=none", "http=http/1.1", "loc=" + t["loc"], "tls=" + (ver or "off"),
             "sni=" + ("plaintext" if c.tls else "off"), "warp=off", "gateway=off", "rbi=off", "kex=X25519"]
    return c.send(200, "text/plain", ("\n".join(lines) + "\n").encode(), True)


def handle(c, meth, target, hdr, t0):
    u = urllib.parse.urlsplit(target)
    path, qs = u.path, urllib.parse.parse_qs(u.query)
    role = c.l["role"]
    c.head_only = meth == "HEAD"
    has_body = "content-length" in hdr or "transfer-encoding" in hdr
    if has_body and hdr.get("expect", "").lower() == "100-continue":
        c.s.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    up = 0
    if role == "cloudflare" and not c.tls:  # like the real host: plain HTTP only redirects
        if has_body:
            up = c.body(hdr)
        loc = "https://%s%s" % (c.l["name"], target)
        return c.send(301, "text/html", b"<html>301 Moved Permanently</html>\n", True, ("Location: " + loc,)), 301, up
    if role == "ipapi" and c.tls:  # like the real free endpoint
        if has_body:
            up = c.body(hdr)
        return c.send(403, "text/plain", b"SSL unavailable for this endpoint, order a key at https://members.ip-api.com/", True), 403, up
    if role == "ipapi":
        if has_body:
            up = c.body(hdr)
        return ipapi(c, meth, path, qs, hdr) + (up,)
    if meth == "POST" and ((role == "cloudflare" and path == "/__up") or
                           (role == "ookla" and path in ("/upload", "/upload.php", "/speedtest/upload.php"))):
        up = c.body(hdr)
        if role == "cloudflare":
            dur = (time.monotonic() - t0) * 1000
            return c.send(200, "text/plain;charset=UTF-8", b"", True, ("Server-Timing: cfRequestDuration;dur=%.3f" % dur,)), 200, up
        return c.send(200, "text/plain", b"size=%d" % up, True), 200, up
    if has_body:
        up = c.body(hdr)
    if meth not in ("GET", "HEAD"):
        return c.send(405, "text/plain", b"method not allowed\n", True), 405, up
    if role == "cloudflare" and path == "/__down":
        n = num(q1(qs, "bytes", "0"))
        if n is None or n < 0:
            return c.send(400, "text/plain", b"bad bytes\n", True), 400, up
        dur = (time.monotonic() - t0) * 1000
        return c.send(200, "application/octet-stream", n, True, ("Server-Timing: cfRequestDuration;dur=%.3f" % dur,
                      "Access-Control-Expose-Headers: cf-meta-request-time", "cf-meta-request-time: %d" % int(time.time() * 1000))), 200, up
    if role == "cloudflare" and path == "/cdn-cgi/trace":
        return trace(c, hdr), 200, up
    if role == "ookla" and path in ("/download", "/speedtest/download"):
        n = num(q1(qs, "size", "0"))
        if n is None or n < 0:
            return c.send(400, "text/plain", b"bad size\n", True), 400, up
        return c.send(200, "application/octet-stream", n, True), 200, up
    if role == "ookla" and path in ("/latency.txt", "/speedtest/latency.txt"):
        return c.send(200, "text/plain", b"test=test\n", True), 200, up
    if role == "ookla" and path == "/hello":
        return c.send(200, "text/plain", b"hello 2.11 (2.11.0) 2024-01-01.0000.0000000\n", True), 200, up
    return c.send(404, "text/plain", b"not found\n", True), 404, up


ADDRESSES = {l["name"]: l["addr"] for l in CFG["listeners"]}


def pump(src, dst, counts, key):
    try:
        while True:
            data = src.recv(RECV)
            if not data:
                break
            dst.sendall(data)
            counts[key] += len(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def tunnel(sock, peer, lst):
    """An HTTP proxy that knows only CONNECT: what HTTPS clients send through one."""
    c = Conn(sock, peer, lst)
    why, counts = "closed by client", {"up": 0, "down": 0}
    try:
        meth, target, _, _ = parse_head(c.head()) or (None, "", None, None)
        host, _, port = target.rpartition(":")
        if meth != "CONNECT" or host not in ADDRESSES or not port.isdigit():
            c.keep = False
            c.send(405, "text/plain", b"CONNECT to a testbed host only\n", False)
            why = "refused %s %s" % (meth, target)
            return
        upstream = socket.create_connection((ADDRESSES[host], int(port)), timeout=10)
        upstream.settimeout(None)
        c.s.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        log("req", "%s:%d" % peer, lst["name"], lst["port"], meth, target, 200, 0, 0, "0", "-")
        back = threading.Thread(target=pump, args=(upstream, c.s, counts, "down"), daemon=True)
        back.start()
        pump(c.s, upstream, counts, "up")
        back.join()
        why = "tunnel down=%d up=%d" % (counts["down"], counts["up"])
    except (OSError, Close) as e:
        why = "error: %s" % e
    finally:
        sock.close()
        log("end", "%s:%d" % peer, lst["name"], lst["port"], "requests=1", why)


def serve(sock, peer, lst, ctx):
    if lst["role"] == "proxy":
        return tunnel(sock, peer, lst)
    c = Conn(sock, peer, lst)
    t_acc = time.time()
    nreq = 0
    log("conn", "%s:%d" % peer, lst["name"], lst["addr"], lst["port"])
    why = "closed by client"
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if ctx:
            try:
                c.s = ctx.wrap_socket(sock, server_side=True)
                c.tls = True
            except (ssl.SSLEOFError, ConnectionResetError) as e:
                why = "closed before/during the TLS handshake (plain TCP probe?): %s" % type(e).__name__
                raise Close()
            except (ssl.SSLError, OSError) as e:
                why = "tls handshake failed: %s" % e
                raise Close()
        while True:
            try:
                h = c.head()
            except Close:
                break
            t0 = time.monotonic()
            request = parse_head(h)
            if request is None:
                c.send(400, "text/plain", b"bad request\n", False)
                why = "bad request line"
                break
            meth, target, ver, hdr = request
            conn_hdr = hdr.get("connection", "").lower()
            keep = (ver == "HTTP/1.1" and "close" not in conn_hdr) or (ver == "HTTP/1.0" and "keep-alive" in conn_hdr)
            nreq += 1
            c.keep = keep
            try:
                down, status, up = handle(c, meth, target, hdr, t0)
            except Close:
                why = "client closed mid-request"
                log("req", "%s:%d" % peer, lst["name"], lst["port"], meth, target, "-", 0, 0, "%.3f" % (time.monotonic() - t0), "aborted")
                break
            log("req", "%s:%d" % peer, lst["name"], lst["port"], meth, target, status, down, up, "%.3f" % (time.monotonic() - t0),
                hdr.get("user-agent", "-"))
            if not keep:
                break
    except (OSError, ValueError) as e:
        why = "error: %s" % e
    except Close:
        pass
    finally:
        try:
            c.s.close()
        except OSError:
            pass
        c.note_arrivals()
        log("end", "%s:%d" % peer, lst["name"], lst["port"], "requests=%d" % nreq, "secs=%.3f" % (time.time() - t_acc), why)


def listener(lst, ctx):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((lst["addr"], lst["port"]))
    s.listen(512)
    return s


def acceptor(s, lst, ctx):
    while True:
        try:
            sock, peer = s.accept()
        except OSError:
            continue
        threading.Thread(target=serve, args=(sock, peer, lst, ctx), daemon=True).start()


def main():
    ctxs = {}
    for k, (crt, key) in CFG.get("certs", {}).items():
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(crt, key)
        ctx.set_alpn_protocols(["http/1.1"])
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctxs[k] = ctx
    socks = [(listener(l, None), l) for l in CFG["listeners"]]
    for s, l in socks:
        threading.Thread(target=acceptor, args=(s, l, ctxs.get(l["tls"]) if l["tls"] else None), daemon=True).start()
    log("ready", len(socks), "listeners")
    print("srv: ready, %d listeners" % len(socks), flush=True)
    threading.Event().wait()


main()
