#!/usr/bin/python3
"""Drives the real main window through the accessibility tree, as assistive
technology would, on one desktop of the table below: every control has a name,
the DPI row suggests what suits the desktop, a DPI is chosen and "确定" is
pressed, and pressed again, while notepad runs in the prefix; the question before closing programs
names notepad and "关闭并继续" lets the change through; the prefix then holds
the new DPI and the program has run. A second start, with the DPI unchanged,
starts the program at once. The compositors run headless, with no seat: nothing
can be typed there, so everything goes through the accessibility tree.

Usage: a11y_test.py HELPER BUILD_DIR [DESKTOP]
  (in a D-Bus session of its own; the desktop xvfb, the default, also under an X server)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

os.environ["GTK_MODULES"] = "gail:atk-bridge"  # tells dogtail accessibility is on

root = None  # dogtail's, imported once the desktop is up: it finds the accessibility bus there

from headless_desktop import HeadlessDesktop  # noqa: E402

HELPER, BUILD = sys.argv[1], sys.argv[2]
DESKTOP = sys.argv[3] if len(sys.argv) > 3 else "xvfb"
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ENGLISH = {"LANG": "en_US.UTF-8"}
CHINESE = {"LC_ALL": "C.UTF-8"}  # the texts as the sources write them


class Run:
    """One start of the helper: the prefix's DPI, what the DPI row suggests
    (None: nothing), the DPI chosen (None: left as it is)."""

    def __init__(self, at, suggests, choose=None, env=None):
        self.at, self.suggests, self.choose, self.env = at, suggests, choose, env or {}


# The desktops: (compositor, scale, fractional layout, language, runs). The monitor has
# 2560x1600 pixels on the compositors; on Xvfb, GTK is told to scale by two.
DESKTOPS = {
    "xvfb": (None, 2, False, CHINESE,
             [Run("96", "192", "144", {"GDK_SCALE": "2"}), Run("144", "192", None, {"GDK_SCALE": "2"})]),
    "weston-1": (("weston", 1, False), 1, False, ENGLISH,
                 [Run("96", None, "120"), Run("120", "144", None, {"GDK_DPI_SCALE": "1.5"})]),
    "weston-2": (("weston", 2, False), 2, False, ENGLISH, [Run("192", "96", "96"), Run("96", None)]),
    "mutter-2-fractional": (("mutter", 2, True), 2, True, CHINESE,
                            [Run("96", None, "192"), Run("192", "96")]),
    "mutter-2": (("mutter", 2, False), 2, False, CHINESE, [Run("96", "192", "192"), Run("192", None)]),
    # kwin's monitor is 2560x1600 logical, 5120x3200 pixels; its X programs are scaled by the system
    # (kwinrc [Xwayland] Scale=1, the default) or scale themselves (Scale=2).
    "kwin-2": (("kwin", 2, False, 1), 2, False, ENGLISH, [Run("192", "96", "96"), Run("96", None)]),
    "kwin-2-self": (("kwin", 2, False, 2), 2, False, CHINESE,
                    [Run("96", "192", "192"), Run("192", None)]),
}


def catalogue(language):
    """The window's texts in the language of the run: msgid to msgstr of po/en.po."""
    if language is not ENGLISH:
        return lambda text: text
    texts, msgid = {}, None
    with open(os.path.join(SOURCE, "po", "en.po"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r'(msgid|msgstr) "(.*)"$', line.strip())
            if m and m.group(1) == "msgid":
                msgid = m.group(2)
            elif m and msgid:
                texts[msgid] = m.group(2)
    return lambda text: texts.get(text) or text


def set_prefix_dpi(prefix, dpi):
    """LogPixels in the prefix's user.reg, written while no wineserver runs for it."""
    path = os.path.join(prefix, "user.reg")
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read()
    text = re.sub(r'\n"LogPixels"=dword:[0-9a-f]{8}', "", text)
    header = "[Control Panel\\\\Desktop]"
    at = text.index(header)
    end = text.index("\n", text.index("\n", at) + 1)  # after the header's time line
    line = '"LogPixels"=dword:%08x' % int(dpi)
    text = text[:end] + "\n" + line + text[end:]
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)
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


def xwin(env, *args):
    return subprocess.run([os.path.join(BUILD, "tests-bin", "xwin")] + list(args), env=env).returncode


def start_helper(env, mark):
    return subprocess.Popen(
        [HELPER, "cmd.exe", "/c", "echo", "a11y", ">", "C:\\" + mark], env=env,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)


def wait_for(pred, seconds):
    deadline = time.time() + seconds
    while not pred() and time.time() < deadline:
        time.sleep(0.2)
    return pred()


def figure(dialog, name):
    """The value shown after one of the debug dialog's figures: the label named after it."""
    values = [n for n in dialog.findChildren(lambda n: n.roleName == "label" and n.name == name)
              if n.text != name]
    return values[0].text if values else None


def debug_run(app, frame, dialog, tr):
    """A debug run of a program that goes on printing: the window and the dialog answer
    meanwhile, the run's time moves, nothing else can be started, and "停止" ends it."""
    dialog.child(roleName="check box", name=tr("启动日志")).doActionNamed("click")  # off again
    dialog.child(roleName="text", name=tr("命令行:")).text = \
        "while :; do echo a11y-tick; sleep 0.1; done"
    dialog.child(roleName="push button", name=tr("运行")).doActionNamed("click")
    check(wait_for(lambda: figure(dialog, tr("运行时间:")) is not None, 10),
          "the run shows how long it has gone")
    first = figure(dialog, tr("运行时间:"))
    check(wait_for(lambda: figure(dialog, tr("运行时间:")) != first, 5),
          "the run's time moves: %s, then %s" % (first, figure(dialog, tr("运行时间:"))))
    check(not frame.child(roleName="push button", name=tr("配置")).sensitive,
          "配置 cannot be pressed during the run")
    dialog.child(roleName="push button", name=tr("停止")).doActionNamed("click")
    question = app.child(roleName="alert")
    check(any(tr("要停止正在运行的程序吗？") == n.name
              for n in question.findChildren(lambda n: n.roleName == "label")),
          "停止 asks whether to stop the program")
    started = time.time()
    question.child(roleName="push button", name=tr("停止运行")).doActionNamed("click")
    check(wait_for(lambda: not [d for d in app.children if d.roleName == "dialog"], 5),
          "the run ends within %.1f s of 停止运行" % (time.time() - started))
    check(frame.child(roleName="push button", name=tr("配置")).sensitive,
          "配置 can be pressed again")


def one_run(run, n, env, tr, prefix, home, wayland):
    """Starts the helper, checks its window and its suggestion, confirms; True when a
    program was asked to close."""
    mark = "a11y-mark-%d.txt" % n
    helper = start_helper(dict(env, **run.env), mark)
    try:
        app = root.application("nivra-wine-helper")
        frame = app.child(roleName="frame")
        check(frame.name == tr("wine辅助程序"), "the window is titled %s" % frame.name)
        if wayland:
            check(xwin(env, "wait", tr("wine辅助程序"), "300") == 2,
                  "the window is a Wayland client's: Xwayland has no window of that title")
        controls = frame.findChildren(
            lambda n: n.roleName in ("push button", "check box", "combo box", "text"))
        names = sorted(c.name for c in controls)
        check(all(names), "every control has an accessible name: %s" % names)
        combo = frame.child(roleName="combo box", name=tr("屏幕分辨率"))
        check(combo.labeller is not None and combo.labeller.name == tr("屏幕分辨率"),
              "the DPI box is labelled by its row's label")
        items = [c.name for c in combo.child(roleName="menu").children]
        check(len(items) == 12 and items[2] == "144", "the DPI box offers the twelve values")
        selection = combo.querySelection()
        check(selection.isChildSelected(items.index(run.at)), "the DPI box opens on %s" % run.at)
        why = tr("建议 %s dpi：此处桌面缩放为 %d%%，选用此值时文字与桌面其他部分一样大")
        if run.suggests:
            want = why[:why.index("%s")] + run.suggests + " dpi"
            check(combo.description.startswith(want),
                  "at %s the DPI box suggests %s: %s" % (run.at, run.suggests, combo.description))
        else:
            check(combo.description == "", "at %s nothing is suggested: %s" % (run.at, combo.description))
        check(frame.child(roleName="check box", name=tr("不再提示")).checked, "不再提示 is ticked")
        confirm = frame.child(roleName="push button", name=tr("确定"))
        if not wayland:  # a desktop without a seat gives no window the keyboard
            check(confirm.focused, "the keyboard focus is on 确定")

        if run.choose:
            # The debug dialog opens over the window, every control named, and "取消" closes it.
            frame.child(roleName="push button", name=tr("调试")).doActionNamed("click")
            dialog = app.child(roleName="dialog", name=tr("调试启动"))
            fields = dialog.findChildren(
                lambda n: n.roleName in ("push button", "check box", "combo box", "text"))
            check(len(fields) > 5 and all(f.name for f in fields),
                  "every control of the debug dialog has a name: %s" % sorted(f.name for f in fields))
            # "..." opens the file chooser; the bus must still reach it to answer it.
            dialog.child(roleName="check box", name=tr("启动日志")).doActionNamed("click")
            dialog.child(roleName="push button", name="...").doActionNamed("click")
            chooser = app.child(roleName="file chooser", name="Save File")
            chooser.child(roleName="push button", name="Cancel").doActionNamed("click")
            check(wait_for(lambda: not [d for d in app.children if d.roleName == "file chooser"], 10),
                  "the file chooser opens from the debug dialog and Cancel closes it")
            debug_run(app, frame, dialog, tr)
            check(wait_for(lambda: not [d for d in app.children if d.roleName == "dialog"], 10),
                  "the stopped run closes the debug dialog")
            selection.selectChild(items.index(run.choose))
            check(wait_for(lambda: selection.isChildSelected(items.index(run.choose)), 10),
                  "%s is chosen" % run.choose)
        confirm.doActionNamed("click")
        asked = False
        if run.choose:
            # Activated again at once, as switch access may: still one change.
            try:
                confirm.doActionNamed("click")
            except Exception:  # the window has gone with the change: nothing to activate
                pass
        if run.choose:
            # A message box is named after its kind ("Warning"); its buttons tell which it is.
            question = app.child(roleName="alert")
            listed = [c.name for c in question.findChildren(lambda n: n.roleName == "label")]
            check(any("notepad.exe" in text for text in listed),
                  "the question before closing programs names notepad: %s" % listed)
            question.child(roleName="push button", name=tr("关闭并继续")).doActionNamed("click")
            asked = True

        out, _ = helper.communicate(timeout=120)
        out = out.decode("utf-8", "replace")
        check(helper.returncode == 0, "the helper exits with 0")
        check(out.count(" reg add ") <= 1, "one change, whatever the activations: %d reg add"
              % out.count(" reg add "))
        with open(os.path.join(prefix, "user.reg"), encoding="utf-8", errors="replace") as f:
            check('"LogPixels"=dword:%08x' % int(run.choose or run.at) in f.read(),
                  "user.reg holds LogPixels %s" % (run.choose or run.at))
        if run.choose:
            check("DPI设置成功生效，当前DPI值: %s\n" % run.choose in out, "the DPI change was verified")
        else:
            check(" reg add " not in out, "no DPI was written")
        with open(os.path.join(home, ".config/nivra-wine/enable_wine_start_helper"), "rb") as f:
            check(f.read() == b"0", "the flag file holds 0")
        mark_path = os.path.join(prefix, "drive_c", mark)
        check(wait_for(lambda: os.path.exists(mark_path), 60), "the program ran after the helper had ended")
        return asked
    except Exception:
        if helper.poll() is None:
            os.killpg(helper.pid, 9)
        if helper.stdout and not helper.stdout.closed:
            print(helper.stdout.read().decode("utf-8", "replace"))
        raise
    finally:
        if helper.poll() is None:
            os.killpg(helper.pid, 9)
        helper.wait()


def main():
    compositor, scale, fractional, language, runs = DESKTOPS[DESKTOP]
    work = tempfile.mkdtemp(prefix="nivra-a11y-")
    prefix = os.path.join(work, "prefix")
    desktop = notepad = None
    try:
        wine_prefix(prefix)
        set_prefix_dpi(prefix, runs[0].at)
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, ".config/nivra-wine"))
        env = dict(os.environ, HOME=home, WINEPREFIX=prefix, WINE_APP=shutil.which("wine"),
                   **WINE_ENV)
        for var in ("LANGUAGE", "LC_ALL", "LANG", "GDK_SCALE", "GDK_DPI_SCALE", "WAYLAND_DISPLAY"):
            env.pop(var, None)
        env.update(language)
        if compositor:
            kind, scale, fractional = compositor[:3]
            desktop = HeadlessDesktop(kind, scale, fractional, xwayland_scale=(
                compositor[3] if len(compositor) > 3 else None)).__enter__()
            env.update(desktop.env)
            print("desktop: %s, X screen %dx%d" % ((DESKTOP,) + desktop.x_screen()), flush=True)
            os.environ.update(desktop.env)  # where this script finds the accessibility bus
        tr = catalogue(language)
        global root
        from dogtail import config
        config.config.logDebugToFile = False
        config.config.searchCutoffCount = 30
        from dogtail.tree import root

        notepad = subprocess.Popen(["wine", "notepad.exe"], env=env, cwd=prefix,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        check(xwin(env, "wait", "Untitled - Notepad", "120000") == 0, "notepad shows on the X display")
        time.sleep(2)  # Wine's own processes settle
        for n, run in enumerate(runs):
            one_run(run, n, env, tr, prefix, home, compositor is not None)
        print("1 passed, 0 failed")
        return 0
    except Exception as e:  # report, then clean up
        print("FAIL:", e, flush=True)
        if desktop:
            with open(desktop.log, "rb") as f:
                print(f.read().decode("utf-8", "replace")[-2000:])
        print("0 passed, 1 failed")
        return 1
    finally:
        if notepad and notepad.poll() is None:
            os.killpg(notepad.pid, 9)
            notepad.wait()
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix),
                       stderr=subprocess.DEVNULL)
        if desktop:
            desktop.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
