#!/usr/bin/env python3
"""The window-events scenarios of velmora_tests (UnderWine/WindowEvents.*), which open real
windows, under Wine on a private X server.

  window_events_test.py WINE_RUN velmora_tests.exe
"""
import os, subprocess, sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gui import require, start_xvfb  # noqa: E402

wine_run, tests = sys.argv[1], sys.argv[2]
require("Xvfb")
xvfb, env = start_xvfb()
try:
    # Wine's desktop must start on this display: end a server that runs without one.
    subprocess.run([wine_run, "--stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    code = subprocess.run([wine_run, tests, "--gtest_filter=UnderWine/WindowEvents.*"], env=env).returncode
finally:
    subprocess.run([wine_run, "--stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    xvfb.kill()
    # Leave a warm server (without a display) for the tests that follow; daemons keep whatever
    # output they inherit open, so never hand them a pipe.
    subprocess.run([wine_run, "--warm"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
sys.exit(code)
