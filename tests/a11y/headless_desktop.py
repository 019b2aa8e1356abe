"""Headless Wayland desktops with Xwayland, as Debian ships them: weston, GNOME's mutter and KDE
Plasma's kwin_wayland, each in a runtime folder and a settings store of its own, on a monitor of
2560x1600 pixels (kwin: 2560x1600 logical, so 5120x3200 pixels at scale 2).

    with HeadlessDesktop("mutter", scale=2, fractional=True) as desktop:
        subprocess.run(program, env=dict(os.environ, **desktop.env))

weston enlarges X windows itself; mutter draws them 1:1 unless its fractional scaling
('scale-monitor-framebuffer') is on; kwin enlarges them itself unless kwinrc's [Xwayland] Scale
(xwayland_scale) is the monitor's scale, when X programs scale themselves. mutter takes its scale
through its DisplayConfig D-Bus API, on the session bus of the caller, which should be a private
one (dbus-run-session). Nothing here needs a seat: no keyboard or pointer exists on these desktops.
"""
import errno
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time

WIDTH, HEIGHT = 2560, 1600


class DesktopError(Exception):
    pass


class HeadlessDesktop:
    PROGRAMS = {"weston": "weston", "mutter": "mutter", "kwin": "kwin_wayland"}

    def __init__(self, kind, scale=1, fractional=False, debug=False, xwayland_scale=None):
        if kind not in self.PROGRAMS:
            raise DesktopError("no such desktop: %s" % kind)
        if shutil.which(self.PROGRAMS[kind]) is None or shutil.which("Xwayland") is None:
            raise DesktopError("%s or Xwayland is not installed: scripts/install-deps.sh "
                               "installs them" % self.PROGRAMS[kind])
        self.kind, self.scale, self.fractional, self.debug = kind, scale, fractional, debug
        self.xwayland_scale = xwayland_scale
        self.proc = None
        self.env = {}
        self.dir = None

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="nivra-%s-" % self.kind)
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def log(self):
        return os.path.join(self.dir, "compositor.log")

    def _read_log(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def _wait_log(self, pattern, what, seconds=30):
        deadline = time.time() + seconds
        while time.time() < deadline:
            m = re.search(pattern, self._read_log())
            if m:
                return m
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise DesktopError("%s did not come up (%s):\n%s" % (self.kind, what, self._read_log()[-3000:]))

    def _start(self):
        runtime = os.path.join(self.dir, "runtime")
        config = os.path.join(self.dir, "config")
        os.makedirs(runtime, mode=0o700)
        os.makedirs(os.path.join(config, "glib-2.0", "settings"))
        socket = "wayland-nivra"
        # Settings of its own: a keyfile, which the desktop and its clients share.
        base = dict(os.environ, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config,
                    GSETTINGS_BACKEND="keyfile")
        for var in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "GDK_BACKEND", "GDK_SCALE",
                    "GDK_DPI_SCALE"):
            base.pop(var, None)
        if self.kind == "weston":
            # weston's size is the logical one: the monitor has WIDTH x HEIGHT pixels.
            cmd = ["weston", "--backend=headless-backend.so", "--use-pixman",
                   "--width=%d" % (WIDTH // self.scale), "--height=%d" % (HEIGHT // self.scale),
                   "--scale=%d" % self.scale, "--xwayland", "--socket=" + socket,
                   "--idle-time=0", "--log=" + self.log]
            if self.debug:
                cmd.append("--debug")  # lets weston-screenshooter take the screen
        elif self.kind == "kwin":
            if self.xwayland_scale is not None:
                with open(os.path.join(config, "kwinrc"), "w") as f:
                    f.write("[Xwayland]\nScale=%s\n" % self.xwayland_scale)
            # kwin names no X display in its log: a client it starts writes down its own.
            self.display_file = os.path.join(self.dir, "display")
            # kwin goes on when that client has ended, and would not stop it with itself.
            report = "printf '%%s\\n%%s\\n' \"$DISPLAY\" \"$XAUTHORITY\" > %s.new && mv %s.new %s" \
                     % ((self.display_file,) * 3)
            cmd = [self._kwin_program(), "--virtual", "--xwayland", "--width", str(WIDTH),
                   "--height", str(HEIGHT), "--scale", str(self.scale), "--socket", socket,
                   "sh -c %s" % shlex.quote(report)]
        else:
            if self.fractional:
                with open(os.path.join(config, "glib-2.0/settings/keyfile"), "w") as f:
                    f.write("[org/gnome/mutter]\n"
                            "experimental-features=['scale-monitor-framebuffer']\n")
            cmd = ["mutter", "--headless", "--wayland", "--wayland-display=" + socket,
                   "--virtual-monitor", "%dx%d" % (WIDTH, HEIGHT)]
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(cmd, env=base, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, start_new_session=True)
        self.env = dict(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config,
                        GSETTINGS_BACKEND="keyfile", WAYLAND_DISPLAY=socket)
        if self.kind == "weston":
            m = self._wait_log(r"xserver listening on display (:\d+)", "its X display")
            self.env["DISPLAY"] = m.group(1)
        elif self.kind == "kwin":
            deadline = time.time() + 60
            while not os.path.exists(self.display_file):
                if time.time() > deadline or self.proc.poll() is not None:
                    raise DesktopError("kwin started no X display:\n%s" % self._read_log()[-3000:])
                time.sleep(0.1)
            with open(self.display_file) as f:
                display, authority = (f.read().split("\n") + ["", ""])[:2]
            self.env["DISPLAY"] = display
            if authority:
                self.env["XAUTHORITY"] = authority
        else:
            m = self._wait_log(r"Using public X11 display (:\d+)", "its X display")
            self.env["DISPLAY"] = m.group(1)
            self._wait_log(r"Using Wayland display name", "its Wayland socket")
            deadline = time.time() + 30
            while not glob.glob(os.path.join(runtime, ".mutter-Xwaylandauth.*")):
                if time.time() > deadline:
                    raise DesktopError("mutter wrote no X authority file")
                time.sleep(0.1)
            self.env["XAUTHORITY"] = glob.glob(os.path.join(runtime, ".mutter-Xwaylandauth.*"))[0]
            self._mutter_scale()
        deadline = time.time() + 30
        while not os.path.exists(os.path.join(runtime, socket)):
            if time.time() > deadline or self.proc.poll() is not None:
                raise DesktopError("%s made no Wayland socket:\n%s" % (self.kind, self._read_log()))
            time.sleep(0.1)

    def _kwin_program(self):
        """kwin_wayland, or a copy of it without its file capability (cap_sys_resource) where this
        process cannot be given it, as in some containers: the kernel then refuses to run it."""
        program = shutil.which("kwin_wayland")
        try:
            subprocess.run([program, "--version"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            return program
        except PermissionError as e:
            if e.errno != errno.EPERM:
                raise
        copy = os.path.join(self.dir, "kwin_wayland")
        shutil.copyfile(program, copy)  # the contents only: no extended attributes
        os.chmod(copy, 0o755)
        return copy

    def _mutter_scale(self):
        """Sets the monitor's scale through org.gnome.Mutter.DisplayConfig, for this session."""
        from gi.repository import Gio, GLib

        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        deadline = time.time() + 30
        while True:
            try:
                proxy = Gio.DBusProxy.new_sync(
                    bus, Gio.DBusProxyFlags.NONE, None, "org.gnome.Mutter.DisplayConfig",
                    "/org/gnome/Mutter/DisplayConfig", "org.gnome.Mutter.DisplayConfig", None)
                serial, monitors, _, props = proxy.call_sync(
                    "GetCurrentState", None, Gio.DBusCallFlags.NONE, -1, None).unpack()
                break
            except GLib.Error:
                if time.time() > deadline:
                    raise
                time.sleep(0.2)
        layout = props.get("layout-mode")
        if layout != (1 if self.fractional else 2):
            raise DesktopError("mutter lays monitors out in mode %s" % layout)
        connector = monitors[0][0][0]
        mode = next(m[0] for m in monitors[0][1] if m[6].get("is-current"))
        config = [(0, 0, float(self.scale), 0, True, [(connector, mode, {})])]
        proxy.call_sync("ApplyMonitorsConfig",
                        GLib.Variant("(uua(iiduba(ssa{sv}))a{sv})", (serial, 1, config, {})),
                        Gio.DBusCallFlags.NONE, -1, None)
        _, _, logical, _ = proxy.call_sync(
            "GetCurrentState", None, Gio.DBusCallFlags.NONE, -1, None).unpack()
        if logical[0][2] != self.scale:
            raise DesktopError("mutter did not take scale %s: %s" % (self.scale, logical))

    def x_screen(self):
        """The size of Xwayland's screen, as X programs see it."""
        out = subprocess.run(["xdpyinfo"], env=dict(os.environ, **self.env), check=True,
                             capture_output=True, text=True).stdout
        w, h = re.search(r"dimensions:\s+(\d+)x(\d+) pixels", out).groups()
        return int(w), int(h)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            # The whole group: the compositor, Xwayland and the compositor's own clients.
            for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
                try:
                    os.killpg(self.proc.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.proc.wait(timeout=wait)
                    break
                except subprocess.TimeoutExpired:
                    pass
        if self.proc:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
