#!/usr/bin/env python3
"""VELMORA-Setup.exe whole, under Wine on a private X server, each scenario in a throw-away
prefix copied from one freshly made template: a full install driven by clicks (options, files,
shortcuts, registry), a second install refused while the meter runs and then repaired, the
uninstaller started as Windows starts it, its self-delete, a user file that keeps the folder,
and the command-line rule; then at 150 % on 1280 x 720 and 200 % on 1080p, whole on the screen
with the design scaled as one. Screenshots of every view are kept.

  setup_window_test.py ARTIFACT_DIR WORK_DIR VELMORA-Setup.exe VELMORA.exe
"""
import os, re, shutil, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gui import check, click, exit_code, find_window, geometry, pixel, require, start_xvfb, wait_for  # noqa: E402
import gui  # noqa: E402

artifacts, work, setup_exe, meter_exe = (os.path.abspath(a) for a in sys.argv[1:5])
require("Xvfb", "xdotool", "import", "convert", "wine", "wineserver")
os.makedirs(artifacts, exist_ok=True)
os.makedirs(work, exist_ok=True)

YELLOW, FIELD, GREY, PANEL = (255, 208, 0), (30, 30, 30), (58, 58, 58), (18, 18, 18)
W, H = 520, 420
KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\VELMORA"


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Prefix:
    """One throw-away Wine prefix (a copy of the template) with its own wineserver."""

    def __init__(self, template, env):
        self.root = tempfile.mkdtemp(prefix="velmora-setup-", dir=work)
        self.path = os.path.join(self.root, "prefix")
        subprocess.run(["cp", "-a", template, self.path], check=True)
        self.env = dict(env, WINEPREFIX=self.path, HOME=os.path.join(self.root, "home"))
        os.makedirs(self.env["HOME"])
        self.c = os.path.join(self.path, "drive_c")
        self.install_dir = os.path.join(self.c, "GRUPOORVANE", "IP-KALDRA")

    def start(self, exe, *args):
        return subprocess.Popen(["wine", exe, *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def reg_query(self):
        out = subprocess.run(["wine", "reg", "query", KEY], env=self.env, capture_output=True,
                             text=True, errors="replace")
        values = {}
        for line in out.stdout.splitlines():
            m = re.match(r"\s+(\S+)\s+(REG_\w+)\s+(.*?)\s*$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return out.returncode, values

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(self.root, ignore_errors=True)


def make_template(env):
    template = os.path.join(work, "template-prefix")
    if not os.path.exists(os.path.join(template, ".ready")):
        shutil.rmtree(template, ignore_errors=True)
        tenv = dict(env, WINEPREFIX=template, HOME=os.path.join(work, "template-home"))
        os.makedirs(tenv["HOME"], exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=tenv, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=tenv)
        open(os.path.join(template, ".ready"), "w").close()
    return template


class Window:
    """The installer window on screen: its corner, screenshots and clicks in design units."""

    def __init__(self, env, title, screen=(1280, 1024), scale=1.0):
        self.env = env
        self.scale = scale
        found = find_window(env, title, seconds=60)
        if not check(bool(found), "the window '%s' appears" % title):
            names = subprocess.run(["xdotool", "search", "--name", "."], env=env, capture_output=True,
                                   text=True).stdout.split()
            print("      windows now:", [subprocess.run(["xdotool", "getwindowname", w], env=env,
                                                        capture_output=True, text=True).stdout.strip()
                                         for w in names])
        w, h = round(W * scale), round(H * scale)
        self.x, self.y = (screen[0] - w) // 2, (screen[1] - h) // 2
        placed = None
        for _ in range(20):
            placed = geometry(env, found[0]) if found else None
            if placed == (self.x, self.y, w, h):
                break
            time.sleep(0.3)
        check(placed == (self.x, self.y, w, h), "%d x %d, centred on the screen (got %s)" % (w, h, placed))
        time.sleep(0.5)

    def shot(self, name):
        return gui.shoot(self.env, os.path.join(artifacts, name))

    def at(self, shot, cx, cy):
        return pixel(shot, self.x + int(cx * self.scale), self.y + int(cy * self.scale))

    def click(self, cx, cy):
        click(self.env, self.x + int(cx * self.scale), self.y + int(cy * self.scale))

    def bar_full(self):
        return self.at(self.shot("setup-progress.png"), 488, 325) == YELLOW


def install_view_checks(win, shot, ticked):
    check(win.at(shot, 400, 40) == PANEL, "header band")
    check(win.at(shot, 400, 89) == YELLOW, "the accent rule under the header")
    check(win.at(shot, 340, 370) == YELLOW, "INSTALAR in the accent colour")
    check(win.at(shot, 170, 370) == PANEL, "CANCELAR on the left")
    check(win.at(shot, 36, 194) == (YELLOW if ticked else FIELD), "desktop option %s" % ("on" if ticked else "off"))


xvfb, env = start_xvfb()
env.update(WINEDEBUG="-all", WINEARCH="win64",
           # No .desktop files for the shortcuts, no Mono or Gecko prompts.
           WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
prefixes = []
try:
    template = make_template(env)

    # --- Install with both options, a refused second install, a repair, an uninstall -----------
    p = Prefix(template, env)
    prefixes.append(p)
    # Another product of the same publisher already lives in C:\GRUPOORVANE.
    neighbour = os.path.join(p.c, "GRUPOORVANE", "OutroProduto", "app.exe")
    os.makedirs(os.path.dirname(neighbour))
    with open(neighbour, "w") as f:
        f.write("another product")
    app = p.start(setup_exe)
    win = Window(p.env, "VELMORA — Instalador")
    ready = win.shot("setup-ready.png")
    install_view_checks(win, ready, ticked=True)
    win.click(100, 195)  # desktop option off and on again
    time.sleep(0.5)
    check(win.at(win.shot("setup-toggled.png"), 36, 194) == FIELD, "a click on the line clears the option")
    win.click(308, 195)  # the line's right edge is outside it
    time.sleep(0.5)
    check(win.at(win.shot("setup-toggled.png"), 36, 194) == FIELD, "the line's right edge is outside")
    win.click(100, 195)
    time.sleep(0.5)
    check(win.at(win.shot("setup-toggled.png"), 36, 194) == YELLOW, "a second click sets it again")
    win.click(492, 383)  # the button's right edge: nothing starts
    time.sleep(0.7)
    check(win.at(win.shot("setup-edge.png"), 100, 325) == FIELD, "a click on INSTALAR's right edge starts nothing")

    win.click(400, 383)
    check(wait_for(win.bar_full, 30), "the install runs to 100 %")
    installed = win.shot("setup-installed.png")
    check(win.at(installed, 340, 370) == YELLOW and win.at(installed, 170, 370) == PANEL,
          "Installed view: ABRIR APP and FECHAR")

    meter = os.path.join(p.install_dir, "VELMORA.exe")
    check(os.path.exists(meter) and read(meter) == read(meter_exe), "VELMORA.exe is the built meter, byte for byte")
    icon = os.path.join(p.install_dir, "KALDRA-NEW.ico")
    check(os.path.exists(icon) and read(icon)[:4] == b"\0\0\1\0", "KALDRA-NEW.ico is an icon file")
    check(os.path.exists(neighbour) and sorted(os.listdir(os.path.join(p.c, "GRUPOORVANE"))) == ["IP-KALDRA", "OutroProduto"],
          "the publisher's other product stays where it was")
    check(not os.path.exists(os.path.join(p.install_dir, "dados")), "no shared data folder is made")
    uninstaller = os.path.join(p.install_dir, "uninstall.exe")
    check(os.path.exists(uninstaller) and read(uninstaller) == read(setup_exe), "uninstall.exe is the installer")
    links = [os.path.join(p.c, "users", "Public", "Desktop", "VELMORA.lnk"),
             os.path.join(p.c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", "VELMORA",
                          "VELMORA.lnk")]
    for link in links:
        data = read(link) if os.path.exists(link) else b""
        check("VELMORA - Medidor de velocidade".encode("utf-16-le") in data
              and "KALDRA-NEW.ico".encode("utf-16-le") in data and b"VELMORA.exe" in data.replace(b"\0", b""),
              "shortcut %s with target, description and icon" % os.path.relpath(link, p.c))
    code, values = p.reg_query()
    size = os.path.getsize(meter) if os.path.exists(meter) else -1
    expected = {
        "DisplayName": ("REG_SZ", "VELMORA"),
        "DisplayVersion": ("REG_SZ", "2.0.3.7"),
        "Publisher": ("REG_SZ", "KALDRA NETWORK SECURITY LTDA"),
        "InstallLocation": ("REG_SZ", r"C:\GRUPOORVANE\IP-KALDRA"),
        "UninstallString": ("REG_SZ", r"C:\GRUPOORVANE\IP-KALDRA\uninstall.exe /uninstall"),
        "DisplayIcon": ("REG_SZ", r"C:\GRUPOORVANE\IP-KALDRA\KALDRA-NEW.ico"),
        "NoModify": ("REG_DWORD", "0x1"),
        "NoRepair": ("REG_DWORD", "0x1"),
        "EstimatedSize": ("REG_DWORD", hex(size >> 10)),
    }
    for name, want in expected.items():
        check(values.get(name) == want, "registry %s = %s (got %s)" % (name, want, values.get(name)))
    win.click(200, 383)  # FECHAR
    try:
        check(app.wait(timeout=15) == 0, "FECHAR ends the installer with exit code 0")
    except subprocess.TimeoutExpired:
        check(False, "FECHAR ends the installer")

    # The meter runs, so its file cannot be written: step 2 fails and the window stays usable.
    running = p.start(meter)
    check(bool(find_window(p.env, "OBRIX KALDRA")), "the installed meter starts")
    os.remove(icon)
    app = p.start(setup_exe)
    win = Window(p.env, "VELMORA — Instalador")
    win.click(400, 383)
    time.sleep(3)
    failed = win.shot("setup-failed.png")
    check(win.at(failed, 110, 325) == YELLOW and win.at(failed, 200, 325) == FIELD,
          "the bar stops at 20 % (extracting the meter)")
    check(win.at(failed, 340, 370) == YELLOW, "INSTALAR is offered again")
    win.click(100, 195)
    time.sleep(0.5)
    check(win.at(win.shot("setup-failed.png"), 36, 194) == YELLOW, "after a job the options no longer toggle")
    running.kill()
    running.wait()
    time.sleep(1)
    win.click(400, 383)
    check(wait_for(win.bar_full, 30), "the same button repairs the installation once the meter is closed")
    check(os.path.exists(icon), "the deleted icon is back")
    win.click(200, 383)
    app.wait(timeout=15)

    # Uninstall the way Windows starts it: the copy in the folder with "/uninstall"; an older
    # version's shared data folder goes too.
    os.makedirs(os.path.join(p.install_dir, "dados"))
    with open(os.path.join(p.install_dir, "dados", "history.xml"), "w") as f:
        f.write("<history/>")
    app = p.start(r"C:\GRUPOORVANE\IP-KALDRA\uninstall.exe", "/uninstall")
    win = Window(p.env, "VELMORA — Desinstalador")
    shot = win.shot("setup-uninstall-ready.png")
    check(win.at(shot, 340, 370) == YELLOW and win.at(shot, 36, 194) != YELLOW,
          "uninstall view: DESINSTALAR, no options")
    win.click(400, 383)
    time.sleep(1)
    win.shot("setup-uninstall-closing.png")
    try:
        app.wait(timeout=10)
        check(True, "the uninstaller closes by itself after the uninstall")
    except subprocess.TimeoutExpired:
        check(False, "the uninstaller closes by itself after the uninstall")
    check(wait_for(lambda: not os.path.exists(p.install_dir), 20), "self-delete: uninstall.exe and the folder are gone")
    check(os.path.isdir(os.path.join(p.c, "GRUPOORVANE")), "C:\\GRUPOORVANE is kept")
    check(os.path.exists(neighbour), "and the other product in it")
    check(not any(os.path.exists(link) for link in links), "both shortcuts removed")
    check(not os.path.exists(os.path.dirname(links[1])), "the Start-menu folder removed")
    check(p.reg_query()[0] != 0, "the uninstall key is gone")
    p.close()
    prefixes.remove(p)

    # --- No options; a user file keeps the folder; the command-line rule ------------------------
    p = Prefix(template, env)
    prefixes.append(p)
    app = p.start(setup_exe, "/UNINSTALL")  # upper case is not the switch
    win = Window(p.env, "VELMORA — Instalador")
    # Without a mouse: the window opens with the focus on the first option box; Space unticks it,
    # Tab and Space the second, then Tab past CANCELAR to INSTALAR and Enter.
    gui.keys(p.env, "space", "Tab", "space")
    time.sleep(0.5)
    install_view_checks(win, win.shot("setup-no-options.png"), ticked=False)
    gui.keys(p.env, "Tab", "Tab", "Return")
    check(wait_for(win.bar_full, 30), "the keyboard's install without options runs to 100 %")
    win.click(200, 383)
    app.wait(timeout=15)
    check(not os.path.exists(os.path.join(p.c, "users", "Public", "Desktop", "VELMORA.lnk")), "no desktop shortcut")
    check(not os.path.exists(os.path.join(p.c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                          "VELMORA")), "no Start-menu folder")
    with open(os.path.join(p.install_dir, "notas.txt"), "w") as f:
        f.write("mine")
    app = p.start(r"C:\GRUPOORVANE\IP-KALDRA\uninstall.exe", "x/uninstallx")  # inside a word
    win = Window(p.env, "VELMORA — Desinstalador")
    win.click(400, 383)
    try:
        app.wait(timeout=10)
    except subprocess.TimeoutExpired:
        check(False, "the uninstaller closes by itself")
    check(wait_for(lambda: not os.path.exists(os.path.join(p.install_dir, "uninstall.exe")), 20),
          "self-delete removes uninstall.exe")
    time.sleep(1)
    check(sorted(os.listdir(p.install_dir)) == ["notas.txt"], "a user file keeps the folder, alone")
    p.close()
    prefixes.remove(p)

    # --- Uninstall with nothing installed -------------------------------------------------------
    p = Prefix(template, env)
    prefixes.append(p)
    app = p.start(setup_exe, "/uninstall")
    win = Window(p.env, "VELMORA — Desinstalador")
    win.click(400, 383)
    time.sleep(0.8)
    shot = win.shot("setup-uninstall-nothing.png")
    check(win.at(shot, 400, 325) == YELLOW, "nothing installed: the uninstall still runs to 100 %")
    try:
        app.wait(timeout=10)
        check(True, "and the window closes by itself (success)")
    except subprocess.TimeoutExpired:
        check(False, "and the window closes by itself (success)")
    check(os.path.isdir(os.path.join(p.c, "GRUPOORVANE")) is False, "nothing was created")

    # --- Scaled screens: the whole design, scaled as one ----------------------------------------
    for dpi, width, height, scale in ((144, 1280, 720, 1.5), (192, 1920, 1080, 2.0)):
        server, screen_env = start_xvfb(width, height)
        try:
            p = Prefix(template, dict(screen_env, **{k: env[k] for k in ("WINEDEBUG", "WINEARCH", "WINEDLLOVERRIDES")}))
            prefixes.append(p)
            subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                            "REG_DWORD", "/d", str(dpi), "/f"], env=p.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            app = p.start(setup_exe)
            win = Window(p.env, "VELMORA — Instalador", screen=(width, height), scale=scale)
            install_view_checks(win, win.shot("setup-%ddpi-%dx%d.png" % (dpi, width, height)), ticked=True)
            app.kill()
            p.close()
        finally:
            server.kill()
finally:
    for p in prefixes:
        p.close()
    xvfb.kill()

sys.exit(exit_code())
