"""The request side both test HTTP servers share (the loopback speed server and the testbed's
server): heads, lines and bodies read off one socket, plain or TLS."""

RECV = 1 << 20
HEAD_LIMIT = 65536


class Close(Exception):
    """The peer went away, or the connection must be dropped."""


class WireConn:
    def __init__(self, sock):
        self.s = sock
        self.buf = bytearray()
        self.rb = bytearray(RECV)

    def fill(self):
        n = self.s.recv_into(self.rb, RECV)
        if not n:
            raise Close()
        self.buf += self.rb[:n]

    def _until(self, mark, limit=None):
        while True:
            i = self.buf.find(mark)
            if i >= 0:
                text = bytes(self.buf[:i]).decode("latin-1")
                del self.buf[:i + len(mark)]
                return text
            if limit is not None and len(self.buf) > limit:
                raise Close()
            self.fill()

    def head(self):
        return self._until(b"\r\n\r\n", HEAD_LIMIT)

    def line(self):
        return self._until(b"\r\n")

    def discard(self, n):
        """Consumes n body bytes without keeping them; returns the count."""
        got = min(n, len(self.buf))
        del self.buf[:got]
        self.arrived(got)
        while got < n:
            k = self.s.recv_into(self.rb, min(RECV, n - got))
            if not k:
                raise Close()
            got += k
            self.arrived(k)
        return got

    def arrived(self, n):
        """n body bytes have just come off the socket (for a server that notes when)."""

    def body(self, hdr):
        """Consumes a request body, chunked or with a length; returns its size."""
        if "chunked" in hdr.get("transfer-encoding", "").lower():
            total = 0
            while True:
                size = int(self.line().split(";")[0].strip() or "0", 16)
                if size == 0:
                    while self.line():
                        pass
                    return total
                total += self.discard(size)
                self.line()
        return self.discard(int(hdr.get("content-length", "0") or "0"))


def parse_head(head):
    """(method, target, version, headers with lower-case names), or None for a bad request line."""
    lines = head.split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        return None
    hdr = {}
    for ln in lines[1:]:
        k, _, v = ln.partition(":")
        hdr[k.strip().lower()] = v.strip()
    return parts[0], parts[1], parts[2], hdr


def q1(qs, k, d=None):
    v = qs.get(k)
    return v[0] if v else d


def num(v):
    try:
        return int(float(v))
    except (TypeError, ValueError):
        return None
