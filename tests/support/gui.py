"""What the whole-program window tests share: a private X server, screenshots, pixels, checks."""
import os, shutil, subprocess, sys, time

from testkit import check, exit_code, failures  # noqa: F401 (the window tests take them from here)


def require(*tools):
    """Ends the test as skipped (ctest code 77) when a tool is missing."""
    for tool in tools:
        if not shutil.which(tool):
            print("%s is not installed: skipped" % tool)
            sys.exit(77)


def start_xvfb(width=1280, height=1024):
    """Starts Xvfb on a display it picks itself; returns (process, environment with DISPLAY)."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                             "%dx%dx24" % (width, height), "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as announced:
        display = ":" + announced.readline().strip()
    print("X display", display, flush=True)
    return xvfb, dict(os.environ, DISPLAY=display)


def shoot(env, path):
    subprocess.run(["import", "-window", "root", path], env=env, capture_output=True)
    return path


def pixel(shot, x, y):
    out = subprocess.run(["convert", shot, "-format", "%[fx:int(255*r)],%[fx:int(255*g)],%[fx:int(255*b)]",
                          "-crop", "1x1+%d+%d" % (x, y), "info:"], capture_output=True, text=True).stdout
    try:
        return tuple(int(v) for v in out.strip().split(","))
    except ValueError:
        return None


def click(env, x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=env)


def keys(env, *names):
    """Key presses into the focused window (X key names: Tab, Return, shift+Tab, Escape)."""
    subprocess.run(["xdotool", "key", "--delay", "150"] + list(names), env=env)


def find_window(env, name, seconds=30):
    """The X window ids whose title contains `name`, waiting up to `seconds` for one."""
    deadline = time.monotonic() + seconds
    while True:
        found = subprocess.run(["xdotool", "search", "--name", name], env=env,
                               capture_output=True, text=True).stdout.split()
        if found or time.monotonic() > deadline:
            return found
        time.sleep(0.3)


def geometry(env, window):
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], env=env,
                         capture_output=True, text=True).stdout
    g = dict(line.split("=") for line in out.split() if "=" in line)
    return tuple(int(g.get(k, -1)) for k in ("X", "Y", "WIDTH", "HEIGHT"))


def wait_for(condition, seconds, step=0.3):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()
