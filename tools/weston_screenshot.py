#!/usr/bin/python3
"""Takes docs/main-window-weston.png: the main window as weston draws it at scale 2, headless,
the helper a Wayland client and the prefix at 192, so the DPI row suggests 96. The picture comes
from weston's own screenshooter (which weston allows with --debug), cut to the window.

Usage: weston_screenshot.py HELPER OUT.png
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "a11y"))
from headless_desktop import WIDTH, HeadlessDesktop  # noqa: E402

helper_path, out = sys.argv[1], os.path.abspath(sys.argv[2])
work = tempfile.mkdtemp(prefix="nivra-weston-shot-")
helper = None
try:
    os.makedirs(os.path.join(work, "home/.config/nivra-wine"))
    os.makedirs(os.path.join(work, "prefix"))
    with open(os.path.join(work, "prefix/user.reg"), "w") as f:
        f.write('[Control Panel\\\\Desktop] 1\n"LogPixels"=dword:000000c0\n')
    with HeadlessDesktop("weston", scale=2, debug=True) as desktop:
        env = {"PATH": os.environ["PATH"], "LANG": "C.UTF-8", "HOME": os.path.join(work, "home"),
               "WINEPREFIX": os.path.join(work, "prefix"), "WINE_APP": shutil.which("wine") or "wine",
               "NO_AT_BRIDGE": "1", **desktop.env}
        def screenshot(name):
            folder = os.path.join(work, name)
            os.makedirs(folder)
            subprocess.run(["weston-screenshooter"], env=env, cwd=folder, check=True, timeout=30)
            return glob.glob(os.path.join(folder, "*.png"))[0]

        time.sleep(1)
        empty = screenshot("empty")
        helper = subprocess.Popen([helper_path, "prog.exe"], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        time.sleep(4)  # the window is mapped and drawn
        shot = screenshot("window")
        # Cut to what the window changed, its shadow included; the panel's clock may have moved.
        box = subprocess.run(
            ["convert", empty, shot, "-compose", "difference", "-composite", "-threshold", "1%",
             "-fill", "black", "-draw", "rectangle 0,0 %d,80" % WIDTH, "-format", "%@",
             "info:"], check=True, capture_output=True, text=True).stdout
        subprocess.run(["convert", shot, "-crop", box, "+repage", out], check=True)
    print(out)
finally:
    if helper and helper.poll() is None:
        helper.kill()
        helper.wait()
    shutil.rmtree(work, ignore_errors=True)
