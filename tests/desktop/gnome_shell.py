"""A headless gnome-shell with Telvane's extension enabled, in a
DesktopSession, for the extension's test, benchmark and picture. It is read
through the accessibility bus, clicked through the remote desktop API and
photographed through the screenshot API; org.gnome.Shell.Eval is refused
outside unsafe mode."""

import contextlib
import os
import time

from desktop_session import application, extents, find, find_all, is_showing, processes, require_programs, \
    require_pyatspi, texts, wait_until

UUID = "telvane@telvane.org"
BUTTON_LEFT = 272  # evdev BTN_LEFT
KEY_ESCAPE = 0xff1b


def _alive(accessible):
    import pyatspi
    from gi.repository import GLib
    try:
        return not accessible.getState().contains(pyatspi.STATE_DEFUNCT) and accessible.parent is not None
    except GLib.GError:
        return False


class GnomeShell:
    @staticmethod
    def check_available():
        """Raises SkipTest naming what this machine lacks."""
        require_programs("gnome-shell", "gsettings", "dbus-daemon", "dbus-send", "convert")
        require_pyatspi()

    def __init__(self, session, extension_dir, env=None, size=(1280, 800), log=None):
        """The shell runs `env` beside the session's environment, its output
        into the file `log`."""
        self.check_available()
        self.size = size
        self.session = session
        extensions = os.path.join(session.env["XDG_DATA_HOME"], "gnome-shell", "extensions")
        os.makedirs(extensions, exist_ok=True)
        os.symlink(os.path.abspath(extension_dir), os.path.join(extensions, UUID))
        # Enabled before the start, as a user's setting would be. Hot corners
        # would open the overview as the pointer passes, banners cover the
        # panel, and an idle screen lock would hide it.
        for schema, key, value in [("org.gnome.desktop.interface", "toolkit-accessibility", "true"),
                                   ("org.gnome.desktop.interface", "enable-hot-corners", "false"),
                                   ("org.gnome.desktop.notifications", "show-banners", "false"),
                                   ("org.gnome.desktop.screensaver", "lock-enabled", "false"),
                                   ("org.gnome.desktop.session", "idle-delay", "uint32 0"),
                                   ("org.gnome.shell", "enabled-extensions", f"['{UUID}']")]:
            session.gsettings(schema, key, value)
        self.process = session.spawn(["gnome-shell", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                                      "%dx%d" % size], log=log, env=env)
        self._button = None
        self.app = wait_until(lambda: application("gnome-shell"), timeout=60)
        if self.app is None:
            raise RuntimeError("gnome-shell did not register on the accessibility bus")
        if self.indicator(timeout=30) is None:
            raise RuntimeError("the extension's indicator did not appear")

    def indicator(self, timeout=5.0):
        """The extension's panel button, or None once it is gone."""
        if self._button is not None and _alive(self._button):
            return self._button
        # A walk through the whole shell takes a second or more: done once
        # per button.
        self._button = wait_until(lambda: find(self.app, name="Telvane", role="menu"), timeout=timeout)
        return self._button

    def bar_texts(self):
        button = self.indicator(timeout=0)
        return texts(button) if button is not None else []

    def wait_for_bar(self, expected, timeout=5.0):
        """The bar's texts once they equal `expected`, else the last ones seen."""
        wait_until(lambda: self.bar_texts() == expected, timeout=timeout)
        return self.bar_texts()

    def menu_rows(self):
        """The texts of each item of the open menu."""
        items = find_all(self.app, lambda node: node.getRoleName() == "menu item" and is_showing(node))
        rows = [[t for t in texts(item) if t] for item in items]
        return [row for row in rows if row]

    def set_enabled(self, enabled):
        self.session.gsettings("org.gnome.shell", "enabled-extensions", f"['{UUID}']" if enabled else "[]")

    def children(self, executable="telvane-widget"):
        return processes(executable, parent=self.process.pid)

    # --- input, through the remote desktop API -------------------------------

    @contextlib.contextmanager
    def _remote_input(self):
        """A remote desktop session; yields send(method, signature, arguments)."""
        from gi.repository import Gio, GLib
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)

        def call(path, method, signature=None, args=None, interface="org.gnome.Mutter.RemoteDesktop.Session"):
            bus.call_sync("org.gnome.Mutter.RemoteDesktop", path, interface, method,
                          GLib.Variant(signature, args) if signature else None, None, 0, 5000)
            # Each event is handled before the next one comes: a click goes
            # where the pointer has arrived.
            time.sleep(0.05)

        remote = bus.call_sync("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                               "org.gnome.Mutter.RemoteDesktop", "CreateSession", None, None, 0, 5000).unpack()[0]
        call(remote, "Start")
        try:
            yield lambda method, signature, args: call(remote, method, signature, args)
        finally:
            try:
                call(remote, "Stop")
            except GLib.GError:
                pass  # ended already

    def click(self, accessible):
        with self._remote_input() as send:
            # The shell shows that a remote session runs with an icon of its
            # own in the panel, which moves the others: aim once it is there.
            last = None
            while (box := extents(accessible)) != last:
                last = box
                time.sleep(0.3)
            x, y, width, height = box
            # Relative moves only (absolute ones need a screen cast stream):
            # into the bottom right corner first, where the pointer stops
            # and, unlike at the panel, opens or closes nothing.
            right, bottom = self.size[0] - 1, self.size[1] - 1
            send("NotifyPointerMotionRelative", "(dd)", (5000.0, 5000.0))
            send("NotifyPointerMotionRelative", "(dd)", (x + width / 2 - right, y + height / 2 - bottom))
            send("NotifyPointerButton", "(ib)", (BUTTON_LEFT, True))
            send("NotifyPointerButton", "(ib)", (BUTTON_LEFT, False))

    def key(self, keysym):
        with self._remote_input() as send:
            send("NotifyKeyboardKeysym", "(ub)", (keysym, True))
            send("NotifyKeyboardKeysym", "(ub)", (keysym, False))

    def open_menu(self):
        """Opens the indicator's menu and returns its rows."""
        self.click(self.indicator())
        wait_until(lambda: any("Telvane öffnen" in row for row in self.menu_rows()))
        return self.menu_rows()

    def close_menu(self):
        self.key(KEY_ESCAPE)
        wait_until(lambda: not self.menu_rows())

    # --- pictures, through the screenshot API ---------------------------------

    def screenshot(self, path, area=None):
        """Saves the area (x, y, width, height) of the screen, by default
        all of it, as PNG; returns path."""
        from gi.repository import Gio, GLib
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        # The shell serves its screenshot API only to this name.
        bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                      GLib.Variant("(su)", ("org.gnome.Screenshot", 4)), None, 0, 5000)
        ok, _ = bus.call_sync("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot",
                              "ScreenshotArea", GLib.Variant("(iiiibs)", tuple(area or (0, 0) + self.size) +
                                                             (False, path)), None, 0, 10000).unpack()
        if not ok:
            raise RuntimeError("the shell took no screenshot")
        return path
