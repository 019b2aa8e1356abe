#!/usr/bin/python3
"""Drives the real main window through the accessibility tree, as assistive
technology would: every control has a name, a DPI is chosen and "确定" is
pressed, and pressed again while the change runs; the prefix then holds the
new DPI after one change, and the program has run.

Usage: a11y_test.py HELPER BUILD_DIR   (under an X server and a D-Bus session)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

os.environ["GTK_MODULES"] = "gail:atk-bridge"  # tells dogtail accessibility is on

from dogtail import config  # noqa: E402

config.config.logDebugToFile = False
config.config.searchCutoffCount = 30
from dogtail.tree import root  # noqa: E402

HELPER, BUILD = sys.argv[1], sys.argv[2]
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def wine_prefix(dest):
    """A private prefix: a copy of the tests' template (large DLLs hard-linked),
    or a fresh one when the template has not been made yet."""
    template = os.path.join(BUILD, "wine-test-prefix")
    # One made before wine32 was installed has an empty syswow64, where the
    # 32-bit loader that wine then prefers starts nothing.
    stale = os.access("/usr/lib/wine/wine", os.X_OK) and not os.path.isfile(
        os.path.join(template, "drive_c/windows/syswow64/kernel32.dll"))
    if stale or not os.path.isfile(os.path.join(template, "user.reg")):
        subprocess.run(["wineboot", "-i"], env=dict(os.environ, WINEPREFIX=dest, **WINE_ENV),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=dest), check=True)
        return

    def link_or_copy(src, dst):
        if src.endswith((".dll", ".exe", ".drv", ".sys")) and os.path.getsize(src) > 1 << 20:
            try:
                os.link(src, dst)
                return dst
            except OSError:
                pass
        return shutil.copy2(src, dst)

    shutil.copytree(template, dest, symlinks=True, copy_function=link_or_copy)


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what, flush=True)


def main():
    work = tempfile.mkdtemp(prefix="nivra-a11y-")
    prefix = os.path.join(work, "prefix")
    helper = None
    try:
        wine_prefix(prefix)
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, ".config/nivra-wine"))
        # The texts as the sources write them, whatever the machine's language, on a desktop
        # that scales by two.
        env = dict(os.environ, HOME=home, WINEPREFIX=prefix, WINE_APP=shutil.which("wine"),
                   LC_ALL="C.UTF-8", GDK_SCALE="2", **WINE_ENV)
        env.pop("LANGUAGE", None)
        helper = subprocess.Popen(
            [HELPER, "cmd.exe", "/c", "echo", "a11y", ">", "C:\\a11y-mark.txt"], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)

        app = root.application("nivra-wine-helper")
        frame = app.child(roleName="frame")
        check(frame.name == "wine辅助程序", "the window is titled wine辅助程序")
        controls = frame.findChildren(
            lambda n: n.roleName in ("push button", "check box", "combo box", "text"))
        names = sorted(c.name for c in controls)
        check(all(names), "every control has an accessible name: %s" % names)
        combo = frame.child(roleName="combo box", name="屏幕分辨率")
        check(combo.labeller is not None and combo.labeller.name == "屏幕分辨率",
              "the DPI box is labelled by its row's label")
        check(combo.description.startswith("建议 192 dpi：") and "200%" in combo.description,
              "the DPI box describes the suggestion: %s" % combo.description)
        check(frame.child(roleName="check box", name="不再提示").checked, "不再提示 is ticked")
        confirm = frame.child(roleName="push button", name="确定")
        check(confirm.focused, "the keyboard focus is on 确定")

        items = [c.name for c in combo.child(roleName="menu").children]
        check(len(items) == 12 and items[2] == "144", "the DPI box offers the twelve values")
        combo.querySelection().selectChild(items.index("144"))
        selection = combo.querySelection()
        deadline = time.time() + 10
        while not selection.isChildSelected(2) and time.time() < deadline:
            time.sleep(0.1)
        check(selection.isChildSelected(2), "144 is chosen")
        confirm.doActionNamed("click")
        # Activated again while the change runs, as switch access may: the
        # modal progress dialog does not stop an accessible action.
        for _ in range(2):
            time.sleep(0.2)
            try:
                confirm.doActionNamed("click")
            except Exception:  # the window has gone with the change: nothing to activate
                pass

        out, _ = helper.communicate(timeout=120)
        out = out.decode("utf-8", "replace")
        check(helper.returncode == 0, "the helper exits with 0")
        check(out.count(" reg add ") == 1, "one change, whatever the activations: %d reg add"
              % out.count(" reg add "))
        check("DPI设置成功生效，当前DPI值: 144\n" in out, "the DPI change was verified")
        with open(os.path.join(prefix, "user.reg"), encoding="utf-8", errors="replace") as f:
            check('"LogPixels"=dword:00000090' in f.read(), "user.reg holds LogPixels 144")
        with open(os.path.join(home, ".config/nivra-wine/enable_wine_start_helper"), "rb") as f:
            check(f.read() == b"0", "the flag file holds 0")
        mark = os.path.join(prefix, "drive_c", "a11y-mark.txt")
        deadline = time.time() + 60
        while not os.path.exists(mark) and time.time() < deadline:
            time.sleep(0.2)
        check(os.path.exists(mark), "the program ran after the helper had ended")
        print("1 passed, 0 failed")
        return 0
    except Exception as e:  # report, then clean up
        print("FAIL:", e, flush=True)
        if helper and helper.poll() is None:
            print(helper.stdout.read1().decode("utf-8", "replace") if helper.stdout else "")
        print("0 passed, 1 failed")
        return 1
    finally:
        if helper and helper.poll() is None:
            os.killpg(helper.pid, 9)
            helper.wait()
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix),
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
