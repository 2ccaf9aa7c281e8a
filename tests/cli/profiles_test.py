#!/usr/bin/env python3
"""Two users of one machine, each running velmora-cli from a program folder only root may write
(an installed copy), with an earlier version's history beside the program: each user's first run
copies those old runs into that user's own history, once, and every run lands there and nowhere
else. Real Unix users (made for the test and removed after it); under Wine, each user has a
prefix of their own, copied from the build's, with the program in C:\\GRUPOORVANE\\IP-KALDRA.

  profiles_test.py CONTROL_PORT COMMAND...   (COMMAND runs velmora-cli, possibly under Wine)
"""
import os, pwd, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testkit import ask, check, exit_code  # noqa: E402

control = int(sys.argv[1])
command = sys.argv[2:]
under_wine = command[0].endswith("wine-run.sh")
program = os.path.abspath(command[-1])
if os.geteuid() != 0 or not shutil.which("useradd") or not shutil.which("runuser"):
    print("skipped: needs root, useradd and runuser")
    sys.exit(77)

_, host, port = ask("127.0.0.1:%d" % control, "listen addr=auto pace_down=6250000 pace_up=2500000").split()
endpoint = ["--no-operators", "--geo", "%s:%s" % (host, port), "--cloudflare", "%s:%s:plain" % (host, port),
            "--latency-ports", "%s,%s" % (port, port), "--phase-seconds", "3,3", "--json"]

OLD_RUN = ("  <measurement timestamp=\"2024-01-02 03:04:05\">\n    <downloadMbps>11.00</downloadMbps>\n"
           "    <uploadMbps>2.00</uploadMbps>\n    <status>MEDIÇÃO CONCLUÍDA</status>\n  </measurement>\n")
OLD_HISTORY = ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<history product=\"OBRIX KALDRA\">\n"
               + OLD_RUN + "</history>\n")

work = tempfile.mkdtemp(prefix="velmora-profiles-")
os.chmod(work, 0o755)
users = ["velmora-t%d-%s" % (os.getpid() % 10000, who) for who in ("ana", "bia")]


def own_tree(path, uid):
    for base, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(base, name), uid, uid)
    os.lchown(path, uid, uid)


def install(folder):
    """The program and an older version's history in a folder only root may change."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(program, os.path.join(folder, os.path.basename(program)))
    with open(os.path.join(folder, "history.xml"), "w", encoding="utf-8") as f:
        f.write(OLD_HISTORY)
    os.chmod(folder, 0o755)
    return os.path.join(folder, os.path.basename(program))


class User:
    def __init__(self, name):
        self.name = name
        self.home = os.path.join(work, name)
        subprocess.run(["useradd", "-M", "-d", self.home, "-s", "/bin/sh", name], check=True)
        self.uid = pwd.getpwnam(name).pw_uid
        os.makedirs(self.home)
        self.env = {"PATH": os.environ["PATH"], "HOME": self.home, "TMPDIR": self.home}
        if under_wine:
            root = os.path.dirname(os.path.dirname(os.path.abspath(program)))
            while not os.path.exists(os.path.join(root, "CMakeCache.txt")) and root != "/":
                root = os.path.dirname(root)
            prefix = os.path.join(self.home, "prefix")
            subprocess.run(["cp", "-a", os.path.join(root, "wineprefix"), prefix], check=True)
            own_tree(self.home, self.uid)
            self.env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                            WINEDLLOVERRIDES="mscoree,mshtml=")
            self.exe = install(os.path.join(prefix, "drive_c", "GRUPOORVANE", "IP-KALDRA"))
            profile = os.path.join(prefix, "drive_c", "users", name)
            self.history = os.path.join(profile, "AppData", "Local", "IP-KALDRA", "history.xml")
            self.argv = ["wine", r"C:\GRUPOORVANE\IP-KALDRA" + "\\" + os.path.basename(program)]
        else:
            own_tree(self.home, self.uid)
            self.exe = install(os.path.join(work, "programa"))
            self.history = os.path.join(self.home, ".local", "share", "velmora", "history.xml")
            self.argv = [self.exe]

    def run(self):
        return subprocess.run(["runuser", "-u", self.name, "--", "env", "-i"]
                              + ["%s=%s" % kv for kv in self.env.items()] + self.argv + endpoint,
                              capture_output=True, timeout=180, cwd=self.home)

    def runs(self):
        if not os.path.exists(self.history):
            return -1
        with open(self.history, encoding="utf-8") as f:
            return f.read().count("<measurement ")

    def close(self):
        if under_wine:
            subprocess.run(["runuser", "-u", self.name, "--", "env", "WINEPREFIX=" + self.env["WINEPREFIX"],
                            "wineserver", "-k"], capture_output=True)
        subprocess.run(["pkill", "-u", self.name], capture_output=True)
        subprocess.run(["userdel", self.name], capture_output=True)


made = []
try:
    for name in users:
        made.append(User(name))
    ana, bia = made
    first = ana.run()
    check(first.returncode == 0, "the first user's run ends with 0 (%d: %s)"
          % (first.returncode, first.stderr.decode("utf-8", "replace")[-400:]))
    check("histórico anterior copiado" in first.stderr.decode("utf-8", "replace"),
          "the first run says that it copied the earlier history")
    check(ana.runs() == 2, "the first user's history: the old run and the new one (%d)" % ana.runs())
    again = ana.run()
    check(again.returncode == 0 and "histórico anterior" not in again.stderr.decode("utf-8", "replace"),
          "a second run copies nothing again")
    check(ana.runs() == 3, "and lands in the same history (%d runs)" % ana.runs())
    other = bia.run()
    check(other.returncode == 0, "the second user's run ends with 0")
    check(bia.runs() == 2, "the second user sees the old run and their own new one (%d)" % bia.runs())
    check(ana.runs() == 3, "the first user's history is untouched by the second's run")
    beside = os.path.join(os.path.dirname(ana.exe), "history.xml")
    with open(beside, encoding="utf-8") as f:
        check(f.read() == OLD_HISTORY, "the earlier history beside the program is left as it was")
    check(sorted(os.listdir(os.path.dirname(ana.exe))) == sorted([os.path.basename(program), "history.xml"]),
          "nothing was written beside the program")
finally:
    for user in made:
        user.close()
    shutil.rmtree(work, ignore_errors=True)
sys.exit(exit_code())
