"""A private desktop session for the desktop integrations' tests, benchmarks
and pictures: its own home and XDG folders with the store in them, its own
system and session bus and, for X11 programs, an Xvfb display. And what they
share: the store written as Telvane writes it, texts and their places read
from the accessibility bus, settled screenshots and the ink in part of one,
hostile texts, waiting, and skipping with a reason.

Nothing of the user's is touched: the session's programs get an environment
of their own, set before the session bus starts, since the bus starts
dconf-service (which every gsettings write goes to) and the accessibility
bus with it. pyatspi is imported only once that bus exists: it asks it for
the accessibility bus and stays on the first one it met, so a process runs
one session at a time."""

import collections
import importlib.util
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time
import uuid

SKIP_CODE = 77  # ctest's SKIP_RETURN_CODE: skipped, never passed
CONVERT = "/usr/bin/convert"  # ImageMagick's, whatever else comes first on PATH
SECONDS_1970_TO_2001 = 978307200.0

# Payloads and labels come from any MQTT client. Each markup text has a twin
# of its length that no toolkit reads as markup: as plain text both are
# drawn about as wide. Line breaks and control characters show as spaces,
# on one line.
MARKUP = ("<b>WW</b>", "[b]WW[/b]")
ENTITY = ("A&amp;B&lt;C", "A%amp;B%lt;C")
CONTROL = ("Zeile1\nZeile2\r\nZeile3\x1b[2J\u2029Ende\tTab\x07Ton", "Zeile1 Zeile2 Zeile3 [2J Ende Tab Ton")
LONG_VALUE = "lang" * 2500
# Each hostile text with how a one-line label shows it.
HOSTILE_TEXTS = {MARKUP[0]: MARKUP[0], ENTITY[0]: ENTITY[0], "Tom & Jerry": "Tom & Jerry", "&lt;&amp": "&lt;&amp",
                 CONTROL[0]: CONTROL[1]}

TEMPERATURE = {"label": "Temperatur", "topic": "home/t", "path": "temperature"}
WIND = {"label": "Wind", "topic": "home/w", "path": "speed"}

Shown = collections.namedtuple("Shown", "text box")  # box: x, y, width, height


def values(temperature=21.5, age=300):
    """A store of two display items: Temperatur, `age` seconds old, and Wind,
    older than the widgets' hour: stale."""
    return {"items": [TEMPERATURE, WIND],
            "messages": [{"topic": "home/t", "payload": json.dumps({"temperature": temperature}), "age": age},
                         {"topic": "home/w", "payload": '{"speed": 7.2}', "age": 7200}]}


class SkipTest(Exception):
    """What this machine lacks, as the reason a test is skipped."""


def require_programs(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        raise SkipTest("not installed: " + ", ".join(missing) + " (scripts/install-deps installs them)")


def require_pyatspi():
    if importlib.util.find_spec("pyatspi") is None:
        raise SkipTest("pyatspi is not installed (package python3-pyatspi)")


def run_or_skip(main, name=None, skip_code=SKIP_CODE):
    """main()'s exit code, or, where it raises SkipTest, skip_code after
    saying "SKIPPED: why" (behind "name: ")."""
    try:
        return main()
    except SkipTest as reason:
        print((name + ": " if name else "") + f"SKIPPED: {reason}", flush=True)
        return skip_code


def run_tests(argv):
    """unittest's run of this module's tests, as an exit code."""
    import unittest
    # pyatspi calls deprecated API.
    result = unittest.main(module="__main__", argv=argv, exit=False, verbosity=2, warnings="ignore").result
    return 0 if result.wasSuccessful() else 1


def wait_until(probe, timeout=10.0, interval=0.05):
    """probe()'s first truthy result within `timeout` seconds, else None."""
    deadline = time.monotonic() + timeout
    while not (value := probe()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value or None


def processes(executable, parent=None, group=None, argument=None):
    """Pids of the running processes of that executable name: children of
    `parent`, in process group `group`, with an argument that matches the
    regular expression `argument`, where given."""
    def match(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                state, ppid, pgid = f.read().rsplit(")", 1)[1].split()[:3]
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                arguments = f.read().decode(errors="replace").split("\0")
            return state != "Z" and parent in (None, int(ppid)) and group in (None, int(pgid)) and \
                os.path.basename(os.readlink(f"/proc/{pid}/exe")) == executable and \
                (argument is None or any(re.fullmatch(argument, a) for a in arguments))
        except OSError:  # ended meanwhile
            return False
    return [int(pid) for pid in os.listdir("/proc") if pid.isdigit() and match(pid)]


def encode(document):
    # The store's encoder escapes "/" (the widget reads either form).
    return json.dumps(document, ensure_ascii=False, separators=(",", ":")).replace("/", "\\/").encode()


def write_store(store, spec):
    """The store as Telvane writes it, in one transaction, so that a reader
    sees all or none. spec:
        {"items":    [{"label": "Temperatur", "topic": "home/t", "path": "temperature"}],
         "messages": [{"topic": "home/t", "payload": "{\\"temperature\\": 21.5}", "age": 30}],
         "labels":   {"home/t": "Wohnzimmer"}}
    "age" is seconds before now. Without "items" the widget shows the messages."""
    os.makedirs(os.path.dirname(store), mode=0o700, exist_ok=True)
    now = time.time()
    config = {"host": "127.0.0.1", "port": 1883, "clientID": "Telvane-test",
              "topics": sorted({m["topic"] for m in spec.get("messages", [])}),
              "keepAliveInterval": 60, "protocolVersion": 0, "topicLabels": spec.get("labels", {})}
    messages = [{"topic": m["topic"], "payload": m["payload"],
                 "timestamp": now - m.get("age", 0) - SECONDS_1970_TO_2001} for m in spec.get("messages", [])]
    items = [{"id": str(uuid.uuid4()).upper(), "topic": i["topic"], "label": i["label"], "jsonPath": i.get("path", "")}
             for i in spec.get("items", [])]
    db = sqlite3.connect(store, timeout=5)
    try:
        with db:
            db.execute("CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value)")
            for key, document in (("config", config), ("messages", messages), ("displayItems", items)):
                db.execute("INSERT OR REPLACE INTO defaults(key, value) VALUES(?, ?)", (key, encode(document)))
    finally:
        db.close()
    os.chmod(store, 0o600)


_SYSTEM_BUS_CONFIG = """<busconfig><type>system</type><listen>unix:path={socket}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/></policy></busconfig>"""


class DesktopSession:
    def __init__(self, path=(), data_home=None, screen=None):
        """path: folders put first on the session's PATH; data_home: an
        XDG_DATA_HOME that holds a store already (kept), by default one in
        the private home; screen: the size of an Xvfb display ("1280x800x24")
        for X11 programs, or None for none."""
        require_programs("dbus-daemon", "dbus-send", *(["Xvfb"] if screen else []))
        self.root = tempfile.mkdtemp(prefix="telvane-desktop.")
        home = os.path.join(self.root, "home")
        self.env = {"PATH": os.pathsep.join([os.path.abspath(p) for p in path] + [os.environ.get("PATH", "/bin")]),
                    "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                    "XDG_DATA_HOME": data_home or os.path.join(home, ".local", "share"),
                    "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                    "XDG_RUNTIME_DIR": os.path.join(self.root, "runtime"), "LANG": "C.UTF-8"}
        for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            os.makedirs(self.env[key], mode=0o700, exist_ok=True)
        self.store = os.path.join(self.env["XDG_DATA_HOME"], "group.org.telvane.Telvane", "defaults.sqlite3")
        self._processes = []
        try:
            if screen:
                self._start_display(screen)
            self._start_buses()
        except BaseException:
            self.close()
            raise
        # This process talks to the session too (gsettings, accessibility),
        # and to nothing of the user's.
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "AT_SPI_BUS_ADDRESS"):
            os.environ.pop(key, None)
        os.environ.update(self.env)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _start_display(self, screen):
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
                   pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        # Xvfb has no GL.
        self.env.update(DISPLAY=":" + number, QT_QPA_PLATFORM="xcb", QT_QUICK_BACKEND="software")

    def _start_buses(self):
        # Without a system bus of its own a shell waits for a login manager.
        socket = os.path.join(self.root, "system_bus_socket")
        config = os.path.join(self.root, "system.conf")
        with open(config, "w") as f:
            f.write(_SYSTEM_BUS_CONFIG.format(socket=socket))
        self._bus(["--config-file=" + config])
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + socket
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self._bus(["--session"])

    def _bus(self, arguments):
        bus = self.spawn(["dbus-daemon", "--nofork", "--print-address"] + arguments, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
        address = bus.stdout.readline().decode().strip()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        return address

    def spawn(self, argv, log=None, env=None, **kwargs):
        """Starts a process of this session, in a process group of its own,
        its output into the file `log` (by default nowhere); close() ends it
        and whatever it started."""
        with open(log or os.devnull, "w") as output:
            kwargs = dict(dict(stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT), **kwargs)
            process = subprocess.Popen(argv, env=dict(self.env, **(env or {})), start_new_session=True, **kwargs)
        self._processes.append(process)
        return process

    def stop(self, process):
        for sig in (signal.SIGTERM, signal.SIGKILL):  # the second for what it left behind
            try:
                os.killpg(process.pid, sig)
                process.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        if process.stdout:
            process.stdout.close()

    def close(self):
        # Last started first: the shell before the buses it uses.
        for process in reversed(self._processes):
            self.stop(process)
        self._processes = []
        shutil.rmtree(self.root, ignore_errors=True)

    def run(self, argv, **kwargs):
        return subprocess.run(argv, env=self.env, check=True, **kwargs)

    def gsettings(self, schema, key, value):
        self.run(["gsettings", "set", schema, key, value])

    def seed(self, spec, reload=False):
        """The store as Telvane writes it (write_store), then, with reload,
        its reload signal."""
        write_store(self.store, spec)
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
        """The signal Telvane sends after each stored batch."""
        self.run(["dbus-send", "--session", "--type=signal", "/org/telvane/Telvane",
                  "org.telvane.Telvane.Widget.ReloadAllTimelines"])

    def screenshot(self, path):
        """The X display, once it has stopped changing: the accessibility bus
        hears of new texts before they are drawn."""
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
        the program has drawn; before, its bridge fails for good."""
        self.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                  "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                  "variant:boolean:" + str(enabled).lower()], stdout=subprocess.DEVNULL)


def application(name):
    """The accessible application `name`, once it has registered, or None."""
    import pyatspi
    return next((app for app in pyatspi.Registry.getDesktop(0) if app is not None and app.name == name), None)


def find_all(accessible, predicate, depth=12, fresh=False):
    """Every descendant of `accessible` (depth first, in order) for which
    predicate holds; with `fresh`, none of what it reads is cached. Actors
    come and go while a shell runs: one that is gone is skipped."""
    found = []

    def visit(node, level):
        try:
            kids = [child for child in (node.getChildAtIndex(i) for i in range(node.childCount)) if child is not None]
        except Exception:
            return
        for child in kids:
            try:
                if fresh:
                    child.clearCache()
                if predicate(child):
                    found.append(child)
            except Exception:
                continue
            if level > 1:
                visit(child, level - 1)
    if accessible is not None:
        if fresh:
            accessible.clearCache()
        visit(accessible, depth)
    return found


def is_showing(accessible):
    import pyatspi
    return accessible.getState().contains(pyatspi.STATE_SHOWING)


def find(accessible, name=None, role=None, showing=False):
    """The first descendant with this accessible name and role name (and
    on screen, if `showing`), or None."""
    matches = find_all(accessible, lambda node: (name is None or node.name == name)
                       and (role is None or node.getRoleName() == role) and (not showing or is_showing(node)))
    return matches[0] if matches else None


def still_there(nodes, read):
    """read(node) of each node, leaving out those gone meanwhile."""
    found = []
    for node in nodes:
        try:
            found.append(read(node))
        except Exception:
            continue
    return found


def texts(accessible):
    """The names of the labels below `accessible`, in order."""
    return still_there(find_all(accessible, lambda node: node.getRoleName() == "label"), lambda node: node.name)


def extents(accessible):
    """(x, y, width, height) on the screen."""
    box = accessible.queryComponent().getExtents(0)  # DESKTOP_COORDS
    return box.x, box.y, box.width, box.height


def shown_texts(application_name):
    """The application's labels on screen now as Shown; None while it is not
    on the accessibility bus."""
    app = application(application_name)
    if app is None:
        return None
    nodes = find_all(app, lambda node: node.getRoleName() == "label" and is_showing(node), depth=40, fresh=True)
    return still_there(nodes, lambda node: Shown(node.name, extents(node)))


def ink(screenshot, box):
    """(width, contrast) of what is drawn in box on a plain background: the
    width of what differs from the background at the edges (a low fuzz:
    greyed text differs only a little), and the span of grey levels (0..1)
    between text and background, which greying narrows on a light and on a
    dark background alike."""
    crop = [CONVERT, screenshot, "-crop", "%dx%d+%d+%d" % tuple(box[2:] + box[:2]), "+repage", "-colorspace", "Gray"]

    def measure(*arguments):
        return subprocess.run(crop + list(arguments) + ["info:"], check=True, capture_output=True, text=True).stdout

    return int(measure("-fuzz", "5%", "-trim", "-format", "%w")), float(measure("-format", "%[fx:maxima-minima]"))
