"""What the Python test scripts share: one line per check, the script's exit status, and the
speed server's control line."""
import socket

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def exit_code():
    return 1 if failures else 0


def ask(address, line, timeout=5.0):
    """One command to the speed server's control port ("host:port"); its one-line answer."""
    host, port = address.rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=timeout) as s:
        s.sendall((line + "\n").encode())
        return s.makefile("rb").readline().decode().strip()
