"""A private, headless desktop for the desktop integrations' tests and
benchmarks: an Xvfb display, a session bus of its own (with DISPLAY in its
environment, so that the services it starts can reach the display), a home
and XDG directories in a scratch folder, and a store there that
seed_store.py fills. Plus what those tests share: reading a running
program's texts and their places over the accessibility bus, screenshots
and measuring the ink in a part of one, and hostile texts.

    with DesktopSession(path=[widget_dir]) as session:
        session.seed({"items": [...], "messages": [...]})
        viewer = session.spawn(["plasmoidviewer", ...])
        ...

A test that cannot run here calls skip(reason): it prints "SKIPPED: reason"
and exits with SKIP_CODE, which ctest reports as skipped, never as passed.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import seed_store  # noqa: E402

SKIP_CODE = 77
CONVERT = "/usr/bin/convert"  # ImageMagick's, whatever else is first on PATH

# Payloads and labels come from any MQTT client on the network. Each
# markup text has a twin of the same length that no toolkit reads as
# markup: shown as plain text, the two take about the same width.
HOSTILE = {
    "markup": ("<b>WW</b>", "[b]WW[/b]"),
    "entity": ("A&amp;B&lt;C", "A%amp;B%lt;C"),
}
# Line breaks, a terminal escape and a paragraph separator; shown on one
# line with spaces in their place.
CONTROL = ("Zeile1\nZeile2\r\nZeile3\x1b[2J\u2029Ende", "Zeile1 Zeile2 Zeile3 [2J Ende")
LONG_VALUE = "lang" * 2500


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP_CODE)


def require_programs(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        skip("not installed: " + ", ".join(missing) + " (scripts/install-deps installs them)")


def wait_until(predicate, timeout, interval=0.1):
    """The first true value of predicate() within timeout seconds, else None."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


class DesktopSession:
    def __init__(self, path=(), screen="1280x800x24"):
        self.root = tempfile.mkdtemp(prefix="telvane-desktop-")
        self.screen = screen
        self.home = os.path.join(self.root, "home")
        runtime = os.path.join(self.root, "runtime")
        for folder in (self.home, runtime):
            os.makedirs(folder, mode=0o700)
        self.env = {
            "PATH": os.pathsep.join(list(path) + [os.environ.get("PATH", "/usr/bin:/bin")]),
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": runtime,
            "LANG": "C.UTF-8",
            # Xvfb has no GL; Qt Quick draws in software.
            "QT_QUICK_BACKEND": "software",
            "QT_QPA_PLATFORM": "xcb",
        }
        self.store = os.path.join(self.env["XDG_DATA_HOME"], "group.org.telvane.Telvane", "defaults.sqlite3")
        self._processes = []
        self._xvfb = None
        self._bus = None

    def __enter__(self):
        try:
            self._start_display()
            self._start_bus()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start_display(self):
        read_end, write_end = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as number:
            display = number.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = ":" + display

    def _start_bus(self):
        self._bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                     env=self.env, start_new_session=True)
        address = self._bus.stdout.readline().strip()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def spawn(self, arguments, log=None, extra_env=None):
        """Starts a program in the session, in a process group of its own
        that close() ends with everything it started."""
        env = dict(self.env, **(extra_env or {}))
        output = open(log, "w") if log else subprocess.DEVNULL
        try:
            process = subprocess.Popen(arguments, env=env, stdout=output, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        finally:
            if log:
                output.close()
        self._processes.append(process)
        return process

    def stop(self, process):
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        try:
            os.killpg(process.pid, signal.SIGKILL)  # whatever it left behind
        except ProcessLookupError:
            pass
        process.wait()

    def close(self):
        for process in reversed(self._processes):
            self.stop(process)
        for process in (self._bus, self._xvfb):
            if process is not None:
                self.stop(process)
        shutil.rmtree(self.root, ignore_errors=True)

    def run(self, arguments, **kwargs):
        return subprocess.run(arguments, env=self.env, check=True, **kwargs)

    # The store, as Telvane writes it; with reload=True followed by
    # Telvane's reload signal.
    def seed(self, spec, reload=False):
        seed_store.write(self.store, spec)
        if reload:
            self.reload()

    def remove_store(self, reload=False):
        for suffix in ("", "-wal", "-shm", "-journal"):
            if os.path.exists(self.store + suffix):
                os.remove(self.store + suffix)
        if reload:
            self.reload()

    def reload(self):
        self.run(["dbus-send", "--session", "--type=signal", "/org/telvane/Telvane",
                  "org.telvane.Telvane.Widget.ReloadAllTimelines"])

    def screenshot(self, path, window="root"):
        self.run(["import", "-window", window, path], stderr=subprocess.DEVNULL)

    def settled_screenshot(self, path, timeout=10):
        """A screenshot once the screen has stopped changing: the
        accessibility bus hears of new texts before they are drawn."""
        previous = path + ".previous.png"
        self.screenshot(previous)
        deadline = time.monotonic() + timeout
        while True:
            time.sleep(0.3)
            self.screenshot(path)
            differing = subprocess.run(["compare", "-metric", "AE", previous, path, "null:"],
                                       capture_output=True, text=True).stderr.strip()
            if differing == "0" or time.monotonic() > deadline:
                return path
            os.replace(path, previous)

    # Accessibility. Qt 5 registers on the accessibility bus only when it is
    # switched on after the program has drawn its first picture; before, its
    # bridge fails for good. So: off while a program starts, on once it has
    # drawn. pyatspi stays on the first session's bus it met, so a test
    # module uses one session.
    def set_accessibility(self, enabled):
        self.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                  "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                  "variant:boolean:" + ("true" if enabled else "false")], stdout=subprocess.DEVNULL)
        if enabled:
            os.environ["DBUS_SESSION_BUS_ADDRESS"] = self.env["DBUS_SESSION_BUS_ADDRESS"]
            os.environ["DISPLAY"] = self.env["DISPLAY"]
            import pyatspi  # noqa: F401  (connects to the bus named above)


class Shown:
    """One text a program shows: its accessible name and its place on the
    screen (x, y, width, height)."""

    def __init__(self, text, box, role):
        self.text, self.box, self.role = text, box, role

    def __repr__(self):
        return "%s %r at %s" % (self.role, self.text, self.box)


def shown_texts(application_name, roles=("label", "menu item")):
    """Every text of that application that is on screen now."""
    import pyatspi
    desktop = pyatspi.Registry.getDesktop(0)
    found = []

    def visit(accessible):
        try:
            accessible.clearCache()
            states = accessible.getState()
            role = accessible.getRoleName()
            if role in roles and states.contains(pyatspi.STATE_SHOWING):
                extents = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                found.append(Shown(accessible.name, (extents.x, extents.y, extents.width, extents.height), role))
            for child in accessible:
                if child is not None:
                    visit(child)
        except Exception:  # an object that went away while we walked
            pass

    for application in desktop:
        if application is not None and application.name == application_name:
            visit(application)
    return found


def has_application(application_name):
    import pyatspi
    return any(a is not None and a.name == application_name for a in pyatspi.Registry.getDesktop(0))


def ink(screenshot, box):
    """(width, darkness) of what is drawn in box on a light background: the
    width of the part that differs from the background at its edges, and
    how dark its darkest pixel is (0 white .. 1 black)."""
    x, y, width, height = box
    crop = [CONVERT, screenshot, "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage", "-colorspace", "Gray"]
    darkest = subprocess.run(crop + ["-format", "%[fx:minima]", "info:"],
                             check=True, capture_output=True, text=True).stdout
    # A low fuzz: greyed text is only a little darker than the background.
    trimmed = subprocess.run(crop + ["-fuzz", "5%", "-trim", "-format", "%w", "info:"],
                             check=True, capture_output=True, text=True).stdout
    return int(trimmed), 1.0 - float(darkest)
