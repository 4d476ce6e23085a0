"""A private headless desktop for the desktop integrations' tests and
benchmarks: Xvfb, a session bus of its own (DISPLAY in its environment, so
that the services it starts reach the display), home and XDG folders with
the store in a scratch folder; and what those tests share: texts and their
places from the accessibility bus, settled screenshots, the ink in part of
one, hostile texts. A test that cannot run calls skip(reason): "SKIPPED:
reason" and SKIP_CODE, which ctest reports as skipped, never as passed.
"""

import collections
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
CONVERT = "/usr/bin/convert"  # ImageMagick's, whatever else comes first on PATH
# Payloads and labels come from any MQTT client. Each markup text has a twin
# of its length that no toolkit reads as markup: as plain text both are
# drawn about as wide. Control characters show as spaces, on one line.
MARKUP = ("<b>WW</b>", "[b]WW[/b]")
ENTITY = ("A&amp;B&lt;C", "A%amp;B%lt;C")
CONTROL = ("Zeile1\nZeile2\r\nZeile3\x1b[2J\u2029Ende", "Zeile1 Zeile2 Zeile3 [2J Ende")
LONG_VALUE = "lang" * 2500
Shown = collections.namedtuple("Shown", "text box")  # box: x, y, width, height


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
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value or None


class DesktopSession:
    def __init__(self, path=(), screen="1280x800x24", data_home=None):
        self.root = tempfile.mkdtemp(prefix="telvane-desktop-")
        home = os.path.join(self.root, "home")
        self.env = {"PATH": os.pathsep.join(list(path) + [os.environ.get("PATH", "/usr/bin:/bin")]), "HOME": home,
                    "XDG_CONFIG_HOME": os.path.join(home, ".config"), "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                    "XDG_DATA_HOME": data_home or os.path.join(home, ".local", "share"),
                    "XDG_RUNTIME_DIR": os.path.join(self.root, "runtime"), "LANG": "C.UTF-8",
                    "QT_QPA_PLATFORM": "xcb", "QT_QUICK_BACKEND": "software"}  # Xvfb has no GL
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        os.makedirs(self.env["XDG_CONFIG_HOME"])
        self.store = os.path.join(self.env["XDG_DATA_HOME"], "group.org.telvane.Telvane", "defaults.sqlite3")
        self._processes = []
        try:
            read_end, write_end = os.pipe()
            self._start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
                        pass_fds=(write_end,))
            os.close(write_end)
            with os.fdopen(read_end) as display:
                self.env["DISPLAY"] = ":" + display.readline().strip()
            bus = self._start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
            self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
            if self.env["DISPLAY"] == ":" or not self.env["DBUS_SESSION_BUS_ADDRESS"]:
                raise RuntimeError("Xvfb or dbus-daemon did not start")
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self, arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs):
        # A process group of its own, which stop() ends with all it started.
        process = subprocess.Popen(arguments, env=self.env, stdout=stdout, stderr=stderr, start_new_session=True,
                                   **kwargs)
        self._processes.append(process)
        return process

    def spawn(self, arguments, log):
        with open(log, "w") as output:
            return self._start(arguments, stdout=output, stderr=subprocess.STDOUT)

    def stop(self, process):
        for sig in (signal.SIGTERM, signal.SIGKILL):  # the second for what it left behind
            try:
                os.killpg(process.pid, sig)
                process.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass

    def close(self):
        for process in reversed(self._processes):
            self.stop(process)
            if process.stdout:
                process.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def run(self, arguments, **kwargs):
        return subprocess.run(arguments, env=self.env, check=True, **kwargs)

    def seed(self, spec, reload=False):
        """The store as Telvane writes it (seed_store.py), then its reload signal."""
        seed_store.write(self.store, spec)
        if reload:
            self.reload()

    def replace_store(self, content=None, reload=True):
        """No store (content None), or a file of that content in its place."""
        for path in (self.store + suffix for suffix in ("", "-wal", "-shm", "-journal")):
            if os.path.exists(path):
                os.remove(path)
        if content is not None:
            with open(self.store, "wb") as f:
                f.write(content)
        if reload:
            self.reload()

    def reload(self):
        self.run(["dbus-send", "--session", "--type=signal", "/org/telvane/Telvane",
                  "org.telvane.Telvane.Widget.ReloadAllTimelines"])

    def screenshot(self, path):
        """Once the screen has stopped changing: the accessibility bus hears
        of new texts before they are drawn."""
        previous, deadline = path + ".previous.png", time.monotonic() + 10
        self.run(["import", "-window", "root", previous])
        while True:
            time.sleep(0.3)
            self.run(["import", "-window", "root", path])
            differing = subprocess.run(["compare", "-metric", "AE", previous, path, "null:"], capture_output=True,
                                       text=True).stderr.strip()
            if differing == "0" or time.monotonic() > deadline:
                return path
            os.replace(path, previous)

    def set_accessibility(self, enabled):
        """Qt 5 joins the accessibility bus only when it is switched on after
        the program has drawn; before, its bridge fails for good. pyatspi
        stays on the first bus it met: a test module has one session."""
        self.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                  "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                  "variant:boolean:" + str(enabled).lower()], stdout=subprocess.DEVNULL)
        os.environ.update(DBUS_SESSION_BUS_ADDRESS=self.env["DBUS_SESSION_BUS_ADDRESS"], DISPLAY=self.env["DISPLAY"])


def shown_texts(application, roles=("label",)):
    """The application's texts on screen now; None while it is not on the
    accessibility bus."""
    import pyatspi
    found = []

    def visit(accessible):
        try:
            accessible.clearCache()
            if accessible.getRoleName() in roles and accessible.getState().contains(pyatspi.STATE_SHOWING):
                e = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                found.append(Shown(accessible.name, (e.x, e.y, e.width, e.height)))
            for child in (c for c in accessible if c is not None):  # a leaf is falsy: no filter(None)
                visit(child)
        except Exception:  # gone while we walked
            pass

    applications = [a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == application]
    for a in applications:
        visit(a)
    return found if applications else None


def ink(screenshot, box):
    """(width, darkness) of what is drawn in box on a light background: the
    width of what differs from the background at the edges (a low fuzz:
    greyed text is only a little darker), the darkest pixel (0 white .. 1 black)."""
    crop = [CONVERT, screenshot, "-crop", "%dx%d+%d+%d" % (box[2], box[3], box[0], box[1]), "+repage",
            "-colorspace", "Gray"]

    def measure(*arguments):
        return subprocess.run(crop + list(arguments) + ["info:"], check=True, capture_output=True, text=True).stdout

    return int(measure("-fuzz", "5%", "-trim", "-format", "%w")), 1.0 - float(measure("-format", "%[fx:minima]"))
