"""A private desktop session for the desktop integrations' tests (its own
home, XDG folders, system and session bus), and reading a desktop shell
through the accessibility bus. Nothing of the user's is touched: HOME and
XDG_CONFIG_HOME are set before the session bus starts, since the bus starts
dconf-service, which every gsettings write goes to, with its environment.
pyatspi is imported only once that bus exists: it asks it for the
accessibility bus."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

# Texts a publisher could send, each with how a one-line label shows it:
# markup and entities literally, line breaks and control characters as
# spaces.
HOSTILE_TEXTS = {"<b>fett</b>": "<b>fett</b>", "Tom & Jerry": "Tom & Jerry", "&lt;&amp": "&lt;&amp",
                 "a\r\nb\tc\x07d": "a b c d"}

_SYSTEM_BUS_CONFIG = """<busconfig><type>system</type><listen>unix:path={socket}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/></policy></busconfig>"""


class SkipTest(Exception):
    """What this machine lacks, as the reason a test is skipped."""


def require_programs(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        raise SkipTest("not installed: " + ", ".join(missing) + " (scripts/install-deps)")


def wait_until(probe, timeout=10.0, interval=0.05):
    """probe()'s first truthy result within `timeout` seconds, else None."""
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(interval)


def children(parent_pid, executable_name):
    """Pids of running children of `parent_pid` whose executable is named so."""
    def match(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                state, parent = f.read().rsplit(")", 1)[1].split()[:2]
            return int(parent) == parent_pid and state != "Z" and \
                os.path.basename(os.readlink(f"/proc/{pid}/exe")) == executable_name
        except OSError:  # ended meanwhile
            return False
    return [int(pid) for pid in os.listdir("/proc") if pid.isdigit() and match(pid)]


class DesktopSession:
    def __init__(self, data_home=None):
        """data_home: an XDG_DATA_HOME that holds a store already (kept); by
        default one in the private home."""
        require_programs("dbus-daemon")
        self.root = tempfile.mkdtemp(prefix="telvane-desktop.")
        home = os.path.join(self.root, "home")
        self.env = dict(os.environ,
                        HOME=home,
                        XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_DATA_HOME=data_home or os.path.join(home, ".local", "share"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"),
                        XDG_RUNTIME_DIR=os.path.join(self.root, "runtime"),
                        LANG="C.UTF-8")
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"):
            self.env.pop(key, None)
        for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            os.makedirs(self.env[key], mode=0o700, exist_ok=True)
        self.store = os.path.join(self.env["XDG_DATA_HOME"], "group.org.telvane.Telvane", "defaults.sqlite3")
        self._processes = []

    def __enter__(self):
        try:
            self._start_buses()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start_buses(self):
        # Without a system bus of its own a shell waits for a login manager.
        socket = os.path.join(self.root, "system_bus_socket")
        config = os.path.join(self.root, "system.conf")
        with open(config, "w") as f:
            f.write(_SYSTEM_BUS_CONFIG.format(socket=socket))
        self._bus(["--config-file=" + config])
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + socket
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self._bus(["--session"])
        # This process talks to the private buses too (gsettings, accessibility).
        os.environ.update({k: self.env[k] for k in
                           ("HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                            "DBUS_SYSTEM_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS")})

    def _bus(self, arguments):
        bus = self.spawn(["dbus-daemon", "--nofork", "--print-address"] + arguments,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        address = bus.stdout.readline().decode().strip()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        return address

    def spawn(self, argv, env=None, **kwargs):
        """Starts a process of this session; close() ends it."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(argv, env=dict(self.env, **(env or {})), start_new_session=True, **kwargs)
        self._processes.append(process)
        return process

    def gsettings(self, schema, key, value):
        subprocess.run(["gsettings", "set", schema, key, value], env=self.env, check=True)

    def application(self, name):
        """The accessible application `name` once it has registered."""
        import pyatspi
        desktop = pyatspi.Registry.getDesktop(0)
        return next((app for app in desktop if app is not None and app.name == name), None)

    def close(self):
        # Last started first: the shell before the buses it uses.
        for process in reversed(self._processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
            if process.stdout:
                process.stdout.close()
        self._processes = []
        shutil.rmtree(self.root, ignore_errors=True)


def find_all(accessible, predicate, depth=12):
    """Every descendant of `accessible` (breadth first) for which predicate
    holds. Actors come and go while the shell runs: one that is gone is
    skipped."""
    from gi.repository import GLib
    found, level = [], [accessible]
    for _ in range(depth):
        below = []
        for node in level:
            try:
                kids = [node.getChildAtIndex(i) for i in range(node.childCount)] if node is not None else []
                for child in kids:
                    if child is not None and predicate(child):
                        found.append(child)
            except GLib.GError:
                continue
            below.extend(child for child in kids if child is not None)
        level = below
    return found


def find(accessible, name=None, role=None, showing=False):
    """The first descendant with this accessible name and role name (and
    on screen, if `showing`), or None."""
    import pyatspi
    matches = find_all(accessible, lambda node: (name is None or node.name == name)
                       and (role is None or node.getRoleName() == role)
                       and (not showing or node.getState().contains(pyatspi.STATE_SHOWING)))
    return matches[0] if matches else None


def texts(accessible):
    """The names of the labels below `accessible`, in order."""
    return [node.name for node in find_all(accessible, lambda node: node.getRoleName() == "label")]
