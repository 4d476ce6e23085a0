#!/usr/bin/python3
"""The Plasma widget "Telvane" in Plasma's own plasmoidviewer, on a private
Xvfb display and session bus, loaded from the build tree: on the desktop
(cards) and in a panel (one line), fed by the real telvane-widget from a
store written as Telvane writes it. What it shows is read over the
accessibility bus (texts and places) and from screenshots (colours and
the width of what is drawn, where plain text and markup differ).

    plasma_test.py PACKAGE_DIR WIDGET_BIN_DIR TELVANE_EXECUTABLE
"""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import (CONTROL, HOSTILE, LONG_VALUE, DesktopSession, has_application, ink,  # noqa: E402
                             require_programs, shown_texts, skip, wait_until)

PACKAGE, WIDGET_DIR, TELVANE = (os.path.abspath(a) for a in sys.argv[1:4]) if len(sys.argv) >= 4 else (None,) * 3
VIEWER = "plasmoidviewer"
CHANGE_LIMIT = 2.0  # seconds from a stored change to the applet showing it

# Two display items, one of them stale (older than the widget's hour).
VALUES = {
    "items": [{"label": "Temperatur", "topic": "home/t", "path": "temperature"},
              {"label": "Wind", "topic": "home/w", "path": "speed"}],
    "messages": [{"topic": "home/t", "payload": '{"temperature": 21.5}', "age": 300},
                 {"topic": "home/w", "payload": '{"speed": 7.2}', "age": 7200}],
}

# Raw messages (no display items), named by their topic labels, newest
# first: each hostile text beside its harmless twin, control characters,
# a value of 10,000 characters.
HOSTILE_MESSAGES = {
    "labels": {"h/1": "Wert1", "h/2": "Wert2", "h/3": HOSTILE["entity"][0], "h/4": HOSTILE["entity"][1],
               "h/5": "Steuer", "h/6": "Lang"},
    "messages": [{"topic": "h/1", "payload": HOSTILE["markup"][0], "age": 1},
                 {"topic": "h/2", "payload": HOSTILE["markup"][1], "age": 2},
                 {"topic": "h/3", "payload": "1", "age": 3},
                 {"topic": "h/4", "payload": "1", "age": 4},
                 {"topic": "h/5", "payload": CONTROL[0], "age": 5},
                 {"topic": "h/6", "payload": LONG_VALUE, "age": 6}],
}


def short(value):
    text = repr(value)
    return text if len(text) < 2000 else text[:2000] + "…"


def with_value(temperature):
    spec = dict(VALUES)
    spec["messages"] = [{"topic": "home/t", "payload": '{"temperature": %s}' % temperature, "age": 0}] \
        + VALUES["messages"][1:]
    return spec


class Viewer:
    """plasmoidviewer with the applet, in one form factor."""

    def __init__(self, session, arguments):
        self.session = session
        config = session.env["XDG_CONFIG_HOME"]
        os.makedirs(config, exist_ok=True)
        # plasmoidviewer shows no context menu without this.
        with open(os.path.join(config, "plasmoidviewer-appletsrc"), "w") as f:
            f.write("[ActionPlugins][0]\nRightButton;NoModifier=org.kde.contextmenu\n")
        self.log = os.path.join(session.root, "plasmoidviewer.log")
        self.process = session.spawn([VIEWER, "-a", PACKAGE] + arguments, log=self.log)
        # The applet has drawn once it has read the store: its next
        # telvane-widget then waits with the digest of what it shows.
        if not wait_until(self._waiting_widget, 60, 0.2):
            raise AssertionError("the applet never ran telvane-widget; log:\n" + self._log_text())
        time.sleep(0.5)
        session.set_accessibility(True)
        if not wait_until(lambda: has_application(VIEWER), 20, 0.5):
            raise AssertionError("plasmoidviewer did not appear on the accessibility bus")

    def close(self):
        self.session.stop(self.process)
        self.session.set_accessibility(False)

    def _log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()[-4000:]

    def _waiting_widget(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.getpgid(int(pid)) != self.process.pid:
                    continue
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    arguments = f.read().split(b"\0")
            except (OSError, ProcessLookupError):
                continue
            if any(a.startswith(b"--changed-from=") and len(a) == len("--changed-from=") + 16 for a in arguments):
                return True
        return False

    def texts(self):
        return shown_texts(VIEWER)

    def find(self, text):
        return next((t for t in self.texts() if t.text == text), None)

    def wait_for(self, *texts, timeout=10):
        """The shown texts once all of `texts` are among them."""
        found = wait_until(lambda: (lambda shown: shown if all(any(s.text == t for s in shown) for t in texts)
                                    else None)(self.texts()), timeout)
        if not found:
            raise AssertionError("not shown: %s\nshown: %s" % (short(texts), short(self.texts())))
        return {t.text: t for t in found}

    def seconds_until_shown(self, spec, text):
        self.session.seed(spec, reload=True)
        start = time.monotonic()
        self.wait_for(text, timeout=10)
        return time.monotonic() - start

    def screenshot(self):
        return self.session.settled_screenshot(os.path.join(self.session.root, "shot.png"))


session = None


def setUpModule():
    global session
    session = DesktopSession(path=[WIDGET_DIR, os.path.dirname(TELVANE)]).__enter__()


def tearDownModule():
    session.close()


class ViewerTest(unittest.TestCase):
    arguments = []
    first = VALUES

    @classmethod
    def setUpClass(cls):
        cls.session = session
        session.seed(cls.first)
        cls.viewer = Viewer(session, cls.arguments)

    @classmethod
    def tearDownClass(cls):
        cls.viewer.close()

    def drawn(self):
        """A settled screenshot and the places of the texts in it."""
        shot = self.viewer.screenshot()
        return shot, {t.text: t.box for t in self.viewer.texts()}

    def assert_greyed(self, fresh, stale):
        shot, boxes = self.drawn()
        self.assertGreater(ink(shot, boxes[fresh])[1] - ink(shot, boxes[stale])[1], 0.2,
                           "stale %r is not greyer than %r" % (stale, fresh))

    def assert_plain(self, pairs):
        """Each markup text drawn about as wide as its plain twin."""
        shot, boxes = self.drawn()
        for markup, twin in pairs:
            with self.subTest(markup=markup):
                ratio = ink(shot, boxes[markup])[0] / ink(shot, boxes[twin])[0]
                self.assertTrue(0.75 < ratio < 1.33, "%r drawn %.2f times as wide as %r" % (markup, ratio, twin))


class DesktopForm(ViewerTest):
    arguments = []

    def test_values_show_as_cards_and_stale_ones_are_greyed(self):
        self.session.seed(VALUES, reload=True)
        self.viewer.wait_for("Temperatur", "21.5", "vor 5 min", "Wind", "7.2", "vor 2 h")
        self.assert_greyed("21.5", "7.2")

    def test_a_stored_change_shows_within_two_seconds(self):
        self.session.seed(VALUES, reload=True)
        self.viewer.wait_for("21.5")
        self.assertLess(self.viewer.seconds_until_shown(with_value(22.5), "22.5"), CHANGE_LIMIT)

    def test_hostile_text_shows_literally_on_one_line(self):
        self.session.seed(HOSTILE_MESSAGES, reload=True)
        shown = self.viewer.wait_for(HOSTILE["markup"][0], HOSTILE["markup"][1], HOSTILE["entity"][0],
                                     HOSTILE["entity"][1], CONTROL[1], LONG_VALUE)
        self.assert_plain([HOSTILE["markup"], HOSTILE["entity"]])
        self.assertEqual(shown[LONG_VALUE].box[2], shown[HOSTILE["markup"][1]].box[2], "a long value widened its card")

    def test_store_states_show_their_german_texts(self):
        cases = [
            ("missing", lambda: self.session.remove_store(reload=True), "Telvane: kein Speicher"),
            ("garbage", lambda: self._garbage(), "Telvane: Fehler"),
            ("empty", lambda: (self.session.remove_store(), self.session.seed({}, reload=True)),
             "Telvane: keine Daten"),
        ]
        for name, make, text in cases:
            with self.subTest(state=name):
                make()
                self.viewer.wait_for(text)

    def _garbage(self):
        self.session.remove_store()
        with open(self.session.store, "wb") as f:
            f.write(b"this is no database\n" * 100)
        self.session.reload()


class PanelForm(ViewerTest):
    # Wide enough for the longest line the applet allows. Unlike a panel,
    # plasmoidviewer keeps an applet at the width it first asked for: it
    # starts with the widest line.
    arguments = ["-f", "horizontal", "-s", "1280x300"]
    first = HOSTILE_MESSAGES

    def test_values_show_on_one_line_and_stale_ones_are_greyed(self):
        self.session.seed(VALUES, reload=True)
        self.viewer.wait_for("Temperatur: 21.5", "Wind: 7.2")
        self.assert_greyed("Temperatur: 21.5", "Wind: 7.2")

    def test_a_stored_change_shows_within_two_seconds(self):
        self.session.seed(VALUES, reload=True)
        self.viewer.wait_for("Temperatur: 21.5")
        self.assertLess(self.viewer.seconds_until_shown(with_value(22.5), "Temperatur: 22.5"), CHANGE_LIMIT)

    def test_hostile_text_shows_literally_and_never_stretches_the_panel(self):
        self.session.seed(HOSTILE_MESSAGES, reload=True)
        markup, twin = ("Wert1: " + HOSTILE["markup"][0], "Wert2: " + HOSTILE["markup"][1])
        entity, entity_twin = (HOSTILE["entity"][0] + ": 1", HOSTILE["entity"][1] + ": 1")
        control, long = "Steuer: " + CONTROL[1], "Lang: " + LONG_VALUE
        shown = self.viewer.wait_for(markup, twin, entity, entity_twin, control, long)
        self.assert_plain([(markup, twin), (entity, entity_twin)])
        line_height = shown[twin].box[3]
        self.assertEqual(shown[control].box[3], line_height, "control characters made the line higher")
        self.assertLess(shown[long].box[2], 20 * line_height, "a long value stretched its entry")
        applet = shown_texts(VIEWER, roles=("push button",))
        self.assertLess(next(a for a in applet if a.text == "Telvane").box[2], 50 * line_height,
                        "the entries stretched the panel")

    def test_tooltip_lists_each_entry_with_its_age(self):
        self.session.seed(VALUES, reload=True)
        entry = self.viewer.wait_for("Temperatur: 21.5")["Temperatur: 21.5"]
        x, y, width, height = entry.box
        # Plasma opens a tooltip on a move inside the applet, not on a jump into it.
        self.session.run(["xdotool", "mousemove", str(x + 2), str(y + 2)])
        self.session.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2)])
        try:
            self.viewer.wait_for("Temperatur: 21.5 \u2014 vor 5 min", "Wind: 7.2 \u2014 vor 2 h")
        finally:
            self.session.run(["xdotool", "mousemove", "0", "0"])

    def test_missing_store_shows_its_german_text(self):
        self.session.remove_store(reload=True)
        self.viewer.wait_for("Telvane: kein Speicher")

    def test_open_telvane_from_the_context_menu(self):
        self.session.seed(VALUES, reload=True)
        x, y, width, height = self.viewer.wait_for("Temperatur: 21.5")["Temperatur: 21.5"].box
        self.session.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2), "click", "3"])
        # The menu is not on the accessibility bus; the applet's own action
        # is its first item.
        time.sleep(1)
        self.session.run(["xdotool", "key", "Down", "Return"])
        telvane = wait_until(self._telvane, 10)
        self.assertTrue(telvane, "Telvane did not start")
        # Its window would cover the applet for the tests that follow.
        os.kill(telvane, signal.SIGTERM)
        wait_until(lambda: not self._telvane(), 10)

    def _telvane(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.path.realpath("/proc/%s/exe" % pid) == os.path.realpath(TELVANE):
                    return int(pid)
            except OSError:
                continue
        return None


def main():
    if PACKAGE is None:
        sys.stderr.write(__doc__)
        return 2
    require_programs(VIEWER, "Xvfb", "dbus-daemon", "xdotool", "import")
    if not os.path.isdir("/usr/share/plasma/plasmoids/org.kde.desktopcontainment"):
        skip("Plasma's desktop containment is not installed (package plasma-desktop)")
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        skip("pyatspi is not installed (package python3-pyatspi)")
    result = unittest.main(argv=[sys.argv[0]] + sys.argv[4:], exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
