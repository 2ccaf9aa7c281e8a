#!/usr/bin/env python3
"""Loopback speed-test server for the tests: every endpoint the meter uses, with fault modes.

One process serves any number of listeners, each opened on request through a line-based control
port, so that every test gets its own listener with its own behaviour:

  listen addr=127.0.0.1 port=0 tls=0 mode=normal [status=404] [rate=BYTES_PER_S] [size=N]
      -> "ok ADDR PORT"   (addr=auto: a loopback address of its own, 127.1.x.y)
  stats ADDR:PORT -> "ok connections=.. ended=.. requests=.. tls=.. tls_refused=.. down=.. up=.. accepts=t,.."
      (ended: connections served to their close; once it reaches connections, down and up are final)
  close ADDR:PORT -> "ok"
  quit         -> "ok", then the process ends

Modes: normal; status (every request answered with `status`); reset (a download sends half its
body, then the connection is reset); stall (requests are read, never answered); trickle (bodies
sent at `rate`); nolength (bodies without Content-Length, ended by closing); drop (accept, then
close at once); slowread (request bodies read at `rate`); short (a download ends halfway with a
clean close); body (every request answered 200 with the bytes given as `hex`); endless (200 with
a chunked body that never ends, a chunk at `rate` bytes per second); noread (the head is read,
the request body never); earlyanswer (200 at once on the head, then nothing read). In status mode, `redirect_port=N` adds a Location header that sends the
same request to port N of the listener's address. `only=PATH` applies the mode only to paths that start with PATH; other
requests are served normally. `size` caps every download body;
pace_down / pace_up (bytes per second) pace all connections of a listener together, like a
shaped link.

Endpoints: GET /__down?bytes=N, POST /__up, GET /cdn-cgi/trace, GET /download?size=N,
POST /upload, GET /json/... (geolocation). A plain listener that receives a TLS ClientHello
counts it in tls_refused and closes. `start` runs the server in the background and returns when
it is ready; it ends by itself after --idle-exit seconds without control requests.
"""
import argparse, json, os, socket, ssl, sys, threading, time, urllib.parse

from testkit import ask

from http_wire import RECV, Close, WireConn, num, parse_head, q1

PAT = memoryview(os.urandom(1 << 20) * 4)
LOCK = threading.Lock()
LAST_CONTROL = [time.monotonic()]


class Pacer:
    """Shares one rate among every connection of a listener: each chunk books its slot. Like a
    token bucket 20 ms deep, a short idle moment may be made up for, a long one is lost."""

    DEPTH = 0.02

    def __init__(self, rate):
        self.rate = rate
        self.lock = threading.Lock()
        self.next_free = time.monotonic()

    def wait(self, n):
        with self.lock:
            now = time.monotonic()
            due = max(self.next_free, now - self.DEPTH)
            self.next_free = due + n / self.rate
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)


PACE_CHUNK = 65536


class Listener:
    def __init__(self, opts, ctx):
        self.opts = opts
        self.mode = opts.get("mode", "normal")
        self.status = int(opts.get("status", "200"))
        self.rate = float(opts.get("rate", "0"))
        self.size = int(opts["size"]) if "size" in opts else None
        self.pace_down = Pacer(float(opts["pace_down"])) if "pace_down" in opts else None
        self.pace_up = Pacer(float(opts["pace_up"])) if "pace_up" in opts else None
        self.ctx = ctx
        self.stats = {"connections": 0, "ended": 0, "requests": 0, "tls": 0, "tls_refused": 0, "down": 0, "up": 0}
        self.user_agent = "-"
        self.accepts = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((opts.get("addr", "127.0.0.1"), int(opts.get("port", "0"))))
        self.sock.listen(512)
        self.addr, self.port = self.sock.getsockname()
        self.closed = False
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def add(self, key, n):
        with LOCK:
            self.stats[key] += n

    def accept_loop(self):
        while not self.closed:
            try:
                sock, peer = self.sock.accept()
            except OSError:
                if self.closed:
                    return
                continue
            with LOCK:
                self.stats["connections"] += 1
                self.accepts.append(time.monotonic())
            threading.Thread(target=serve, args=(sock, self), daemon=True).start()

    def close(self):
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class Conn(WireConn):
    def __init__(self, sock, lst):
        super().__init__(sock)
        self.l = lst
        self.tls = False
        self.mode = lst.mode  # of the request being served (see only=)

    def discard(self, n):
        """Consumes n body bytes (at the listener's rate in slowread mode); returns the count."""
        got = min(n, len(self.buf))
        del self.buf[:got]
        self.l.add("up", got)
        if self.l.pace_up and got:
            self.l.pace_up.wait(got)  # body bytes that came in with the head are paced too
        slow = self.mode == "slowread" and self.l.rate > 0
        start = time.monotonic()
        while got < n:
            want = min(RECV, n - got)
            if self.l.pace_up:
                want = min(want, PACE_CHUNK)
            if slow:
                want = min(want, 16384)
                due = start + got / self.l.rate
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            k = self.s.recv_into(self.rb, want)
            if not k:
                raise Close()
            if self.l.pace_up:
                self.l.pace_up.wait(k)
            got += k
            self.l.add("up", k)
        return got

    def send_body(self, data):
        """Sends body bytes, counting each piece the socket took: a client that stops in the middle
        of a large send has read only bytes the socket took, so the count never falls below it."""
        data = memoryview(data)
        while data:
            n = self.s.send(data)
            self.l.add("down", n)
            data = data[n:]

    def send(self, status, ctype, body, extra=(), length=True):
        n = body if isinstance(body, int) else len(body)
        h = ["HTTP/1.1 %d %s" % (status, "Status"), "Server: velmora-test", "Content-Type: " + ctype,
             "Cache-Control: no-store"] + list(extra)
        if length:
            h += ["Content-Length: %d" % n, "Connection: keep-alive"]
        else:
            h += ["Connection: close"]
        self.s.sendall(("\r\n".join(h) + "\r\n\r\n").encode())
        payload = PAT if isinstance(body, int) else memoryview(body)
        left, off = n, 0
        mode, rate = self.mode, self.l.rate
        cut = n // 2 if mode in ("reset", "short") and isinstance(body, int) else None
        start = time.monotonic()
        while left > 0:
            k = min(left, len(payload) - (off % len(payload)) if not isinstance(body, int) else len(PAT))
            if self.l.pace_down:
                k = min(k, PACE_CHUNK)
                self.l.pace_down.wait(k)
            if mode == "trickle" and rate > 0:
                k = min(k, max(1, int(rate / 20)))
                delay = start + off / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            if cut is not None and off + k > cut:
                k = cut - off
                if k > 0:
                    self.send_body(payload[:k] if isinstance(body, int) else payload[off:off + k])
                if mode == "reset":
                    # An abortive close: the client sees a reset in the middle of the body.
                    self.s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                raise Close()
            chunk = payload[:k] if isinstance(body, int) else payload[off:off + k]
            self.send_body(chunk)
            off += k
            left -= k
        if not length:
            raise Close()


GEO = {"status": "success", "country": "Brazil", "countryCode": "BR", "region": "SP",
       "regionName": "São Paulo", "city": "São Paulo", "lat": -23.5505, "lon": -46.6333,
       "isp": "Claro S.A.", "query": "127.0.0.1"}


def endless(c, rate):
    c.s.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n")
    chunk = max(1, int(rate / 20))
    while True:
        c.s.sendall(b"%x\r\n%s\r\n" % (chunk, b"x" * chunk))
        c.l.add("down", chunk)
        time.sleep(chunk / rate)


def handle(c, meth, target, hdr):
    u = urllib.parse.urlsplit(target)
    path, qs = u.path, urllib.parse.parse_qs(u.query)
    lst = c.l
    mode = c.mode = lst.mode if path.startswith(lst.opts.get("only", "")) else "normal"
    if mode == "noread":
        while True:
            time.sleep(3600)
    if mode == "earlyanswer":
        c.send(200, "text/plain", b"")
        while True:
            time.sleep(3600)
    has_body = "content-length" in hdr or "transfer-encoding" in hdr
    if has_body and hdr.get("expect", "").lower() == "100-continue":
        c.s.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    if has_body:
        c.body(hdr)
    if mode == "stall":
        while True:
            time.sleep(3600)
    if mode == "endless":
        return endless(c, lst.rate or 1e6)
    length = mode != "nolength"
    if mode == "body":
        return c.send(200, "application/json; charset=utf-8", bytes.fromhex(lst.opts.get("hex", "")),
                      length=length)
    if mode == "status":
        body = b"" if lst.status in (204, 304) else b"status %d\n" % lst.status
        extra = []
        if "redirect_port" in lst.opts:  # to the same request on another port of this address
            extra = ["Location: http://%s:%s%s" % (lst.addr, lst.opts["redirect_port"], target)]
        return c.send(lst.status, "text/plain", body, extra, length=length)
    n = None
    if meth == "POST" and path in ("/__up", "/upload"):
        return c.send(200, "text/plain", b"", length=length)
    if path == "/__down":
        n = num(q1(qs, "bytes", "0"))
    elif path == "/download":
        n = num(q1(qs, "size", "0"))
    if n is not None:
        if n < 0:
            return c.send(400, "text/plain", b"bad size\n")
        if lst.size is not None:
            n = min(n, lst.size)
        return c.send(200, "application/octet-stream", n, length=length)
    if path == "/cdn-cgi/trace":
        body = "fl=1\nh=localhost\nip=127.0.0.1\nvisit_scheme=%s\ncolo=GRU\nhttp=http/1.1\nloc=BR\n" % (
            "https" if c.tls else "http")
        return c.send(200, "text/plain", body.encode(), length=length)
    if path == "/json" or path.startswith("/json/"):
        body = json.dumps(GEO, ensure_ascii=False, separators=(",", ":")).encode()
        return c.send(200, "application/json; charset=utf-8", body, length=length)
    return c.send(404, "text/plain", b"not found\n", length=length)


def serve(sock, lst):
    c = Conn(sock, lst)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if lst.mode == "drop":
            raise Close()
        first = sock.recv(1, socket.MSG_PEEK)
        if first == b"\x16":
            if not lst.ctx:
                lst.add("tls_refused", 1)
                raise Close()
            c.s = lst.ctx.wrap_socket(sock, server_side=True)
            c.tls = True
            lst.add("tls", 1)
        while True:
            request = parse_head(c.head())
            if request is None:
                c.send(400, "text/plain", b"bad request\n")
                break
            meth, target, _, hdr = request
            lst.add("requests", 1)
            lst.user_agent = hdr.get("user-agent", "-").replace(" ", "_")
            handle(c, meth, target, hdr)
            if "close" in hdr.get("connection", "").lower():
                break
    except (OSError, ValueError, Close, ssl.SSLError):
        pass
    finally:
        try:
            c.s.close()
        except OSError:
            pass
        lst.add("ended", 1)


LISTENERS = {}
NEXT_AUTO = [0]


def auto_address():
    with LOCK:
        NEXT_AUTO[0] += 1
        n = NEXT_AUTO[0]
    return "127.1.%d.%d" % (n // 250, n % 250 + 1)


def control(conn, ctx, stop):
    with conn:
        f = conn.makefile("rwb")
        words = f.readline().decode().split()
        LAST_CONTROL[0] = time.monotonic()
        reply = "error"
        try:
            if words and words[0] == "listen":
                opts = dict(w.split("=", 1) for w in words[1:])
                if opts.get("addr") == "auto":
                    opts["addr"] = auto_address()
                use_tls = opts.get("tls", "0") == "1"
                if use_tls and ctx is None:
                    reply = "error no certificate"
                else:
                    lst = Listener(opts, ctx if use_tls else None)
                    LISTENERS["%s:%d" % (lst.addr, lst.port)] = lst
                    reply = "ok %s %d" % (lst.addr, lst.port)
            elif words and words[0] == "stats":
                lst = LISTENERS[words[1]]
                with LOCK:
                    s = " ".join("%s=%d" % kv for kv in lst.stats.items())
                    t = ",".join("%.6f" % a for a in lst.accepts)
                reply = "ok %s ua=%s accepts=%s" % (s, lst.user_agent, t)
            elif words and words[0] == "close":
                LISTENERS.pop(words[1]).close()
                reply = "ok"
            elif words and words[0] == "ping":
                reply = "ok"
            elif words and words[0] == "quit":
                reply = "ok"
                stop.set()
        except (KeyError, ValueError, OSError) as e:
            reply = "error %s" % e
        f.write((reply + "\n").encode())
        f.flush()


def run(args):
    ctx = None
    if args.cert and args.key and os.path.exists(args.cert):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    host, port = args.control.rsplit(":", 1)
    ctl = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ctl.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ctl.bind((host, int(port)))
    ctl.listen(64)
    ctl.settimeout(1.0)
    stop = threading.Event()
    while not stop.is_set():
        if time.monotonic() - LAST_CONTROL[0] > args.idle_exit:
            break
        try:
            conn, _ = ctl.accept()
        except socket.timeout:
            continue
        threading.Thread(target=control, args=(conn, ctx, stop), daemon=True).start()
    ctl.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("command", choices=["run", "start", "stop"])
    p.add_argument("--control", default="127.0.0.1:47100")
    p.add_argument("--cert", default=os.environ.get("VELMORA_TEST_CERT"))
    p.add_argument("--key", default=os.environ.get("VELMORA_TEST_KEY"))
    p.add_argument("--idle-exit", type=float, default=300.0)
    args = p.parse_args()
    if args.command == "run":
        return run(args)
    if args.command == "stop":
        try:
            print(ask(args.control, "quit"))
        except OSError:
            print("not running")
            return 0
        # The server leaves its accept loop within a second. Until it has closed the port, a
        # `start` right after this would find it still answering, call it ready, and lose it.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                ask(args.control, "ping", timeout=1.0)
                time.sleep(0.05)
            except OSError:
                return 0
        print("speed server did not stop", file=sys.stderr)
        return 1
    if os.fork() == 0:
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        run(args)
        os._exit(0)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            ask(args.control, "ping", timeout=1.0)
            print("speed server ready on %s" % args.control)
            return 0
        except OSError:
            time.sleep(0.05)
    print("speed server did not start", file=sys.stderr)
    return 1


sys.exit(main() or 0)
