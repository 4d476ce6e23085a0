#!/usr/bin/python3
"""The Plasma widget "Telvane" from the build tree in Plasma's plasmoidviewer,
on the desktop (cards) and in a panel (one line), fed by the real
telvane-widget from a store written as Telvane writes it. Texts and places
come from the accessibility bus, colours and drawn widths (where plain text
and markup differ) from screenshots.

    plasma_test.py PACKAGE_DIR WIDGET_BIN_DIR TELVANE_EXECUTABLE [TEST...]
"""

import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from plasma_session import (CONTROL, ENTITY, LONG_VALUE, MARKUP, DesktopSession, ink,  # noqa: E402
                             require_programs, shown_texts, skip, wait_until)

VIEWER = "plasmoidviewer"
VALUES = {  # two display items, the second older than the widget's hour: stale
    "items": [{"label": "Temperatur", "topic": "home/t", "path": "temperature"},
              {"label": "Wind", "topic": "home/w", "path": "speed"}],
    "messages": [{"topic": "home/t", "payload": '{"temperature": 21.5}', "age": 300},
                 {"topic": "home/w", "payload": '{"speed": 7.2}', "age": 7200}],
    # The temperature's last day, drawn on the desktop only; a day ago is out.
    "history": [{"topic": "home/t", "path": "temperature",
                 "points": [[90000, 30], [72000, 19], [3600, 20.5], [300, 21.5]]}]}
CHANGED = dict(VALUES, messages=[dict(VALUES["messages"][0], payload='{"temperature": 22.5}', age=0),
                                 VALUES["messages"][1]])
# Raw messages named by their topic labels, newest first.
HOSTILE_ENTRIES = [("Wert1", MARKUP[0]), ("Wert2", MARKUP[1]), (ENTITY[0], "1"), (ENTITY[1], "1"),
                   ("Steuer", CONTROL[0]), ("Lang", LONG_VALUE)]
HOSTILE = {"labels": {"h/%d" % i: label for i, (label, _) in enumerate(HOSTILE_ENTRIES)},
           "messages": [{"topic": "h/%d" % i, "payload": value, "age": i} for i, (_, value) in
                        enumerate(HOSTILE_ENTRIES)]}


def group_process(leader, pattern):
    """A process of leader's process group whose command line matches."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if os.getpgid(int(pid)) == leader.pid and re.search(pattern, f.read()):
                    return int(pid)
        except OSError:
            continue
    return None


def start_viewer(session, package, arguments, log, accessible=True):
    """plasmoidviewer with the applet, once the applet has drawn: when its
    telvane-widget waits on the digest of what it shows."""
    with open(os.path.join(session.env["XDG_CONFIG_HOME"], "plasmoidviewer-appletsrc"), "w") as f:
        f.write("[ActionPlugins][0]\nRightButton;NoModifier=org.kde.contextmenu\n")  # else no context menu
    viewer = session.spawn([VIEWER, "-a", package] + arguments, log)
    if not wait_until(lambda: group_process(viewer, rb"--changed-from=[0-9a-f]{16}"), 60, 0.2):
        with open(log) as f:
            raise AssertionError("the applet never ran telvane-widget:\n" + f.read()[-3000:])
    time.sleep(0.5)
    if accessible:
        session.set_accessibility(True)
        if wait_until(lambda: shown_texts(VIEWER), 20, 0.5) is None:
            raise AssertionError("plasmoidviewer did not join the accessibility bus")
    return viewer


class Form:
    """The checks both forms share; a form says how it shows an entry."""
    arguments, first, session = [], VALUES, None

    @classmethod
    def setUpClass(cls):
        cls.session.seed(cls.first)
        cls.viewer = start_viewer(cls.session, PACKAGE, cls.arguments,
                                  os.path.join(cls.session.root, cls.__name__ + ".log"))

    @classmethod
    def tearDownClass(cls):
        cls.session.stop(cls.viewer)
        cls.session.set_accessibility(False)

    def wait_for(self, *texts, timeout=10):
        found = wait_until(lambda: (lambda shown: shown if all(t in shown for t in texts) else None)(
            {s.text: s.box for s in shown_texts(VIEWER) or []}), timeout)
        self.assertTrue(found, "not shown: %.1500r\nshown: %.1500r" % (texts, shown_texts(VIEWER)))
        return found

    def drawn(self):
        """A settled screenshot and the places of the texts in it."""
        shot = self.session.screenshot(os.path.join(self.session.root, "shot.png"))
        return shot, self.wait_for()

    def test_values_appear_apart_and_stale_ones_are_greyed(self):
        self.session.seed(VALUES, reload=True)
        texts = self.shows("Temperatur", "21.5") + self.shows("Wind", "7.2") + self.ages
        self.wait_for(*texts)
        shot, boxes = self.drawn()
        for a, b in ((a, b) for a in texts for b in texts if a < b):
            (ax, ay, aw, ah), (bx, by, bw, bh) = boxes[a], boxes[b]
            self.assertFalse(ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah, "%r covers %r" % (a, b))
        fresh, stale = self.shows("Temperatur", "21.5")[-1], self.shows("Wind", "7.2")[-1]
        self.assertGreater(ink(shot, boxes[fresh])[1] - ink(shot, boxes[stale])[1], 0.2, "stale is not greyed")
        for range_text in self.ranges:  # with the day's line between value and range
            value, below = boxes[fresh], boxes[range_text]
            between = (value[0], value[1] + value[3], below[0] + below[2] - value[0], below[1] - value[1] - value[3])
            self.assertGreater(ink(shot, between)[0], between[2] // 2, "no line under the value")

    def test_a_stored_change_shows_within_two_seconds(self):
        self.session.seed(VALUES, reload=True)
        self.wait_for(*self.shows("Temperatur", "21.5"))
        self.session.seed(CHANGED, reload=True)
        start = time.monotonic()
        self.wait_for(*self.shows("Temperatur", "22.5"))
        self.assertLess(time.monotonic() - start, 2.0)

    def test_hostile_text_shows_literally_on_one_line_and_bounded(self):
        self.session.seed(HOSTILE, reload=True)
        texts = {label: self.shows(label, value.replace(CONTROL[0], CONTROL[1]))
                 for label, value in HOSTILE_ENTRIES}
        self.wait_for(*sum(texts.values(), ()))
        shot, boxes = self.drawn()
        for markup, twin in (("Wert1", "Wert2"), (ENTITY[0], ENTITY[1])):
            part = -1 if markup == "Wert1" else 0  # markup in the value, entities in the label
            ratio = ink(shot, boxes[texts[markup][part]])[0] / ink(shot, boxes[texts[twin][part]])[0]
            self.assertTrue(0.75 < ratio < 1.33, "%r drawn %.2f times as wide as its twin" % (markup, ratio))
        self.assertEqual(boxes[texts["Steuer"][-1]][3], boxes[texts["Wert2"][-1]][3], "control characters made a "
                         "line higher")
        self.assertLess(ink(shot, boxes[texts["Lang"][-1]])[0], 20 * boxes[texts["Lang"][0]][3],
                        "a long value stretched its entry")

    def test_store_states_show_their_german_texts(self):
        for content, text in ((None, "Telvane: kein Speicher"), (b"no database\n" * 100, "Telvane: Fehler")):
            with self.subTest(text):
                self.session.replace_store(content)
                self.wait_for(text)
        self.session.replace_store(reload=False)
        self.session.seed({}, reload=True)
        self.wait_for("Telvane: keine Daten")


class DesktopForm(Form, unittest.TestCase):
    # The temperature's card is too narrow for its age beside its range.
    ages, shows = ("vor 2 h", "min 19 \u00b7 max 21.5"), staticmethod(lambda label, value: (label, value))
    ranges = ("min 19 \u00b7 max 21.5",)


class PanelForm(Form, unittest.TestCase):
    # plasmoidviewer, unlike a panel, keeps an applet at the width it first
    # asked for: it starts with the widest line, in a window wide enough.
    arguments, first, ages, ranges = ["-f", "horizontal", "-s", "1280x300"], HOSTILE, (), ()
    shows = staticmethod(lambda label, value: (label + ": " + value,))

    def test_tooltip_lists_each_entry_with_its_whole_value_and_age(self):
        self.session.seed(VALUES, reload=True)
        x, y, width, height = self.wait_for("Temperatur: 21.5")["Temperatur: 21.5"]
        # Plasma opens a tooltip on a move inside the applet, not on a jump into it.
        self.session.run(["xdotool", "mousemove", str(x + 2), str(y + 2)])
        self.session.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2)])
        try:
            self.wait_for("Temperatur: 21.5 \u2014 vor 5 min", "Wind: 7.2 \u2014 vor 2 h")
        finally:
            self.session.run(["xdotool", "mousemove", "0", "0"])

    def test_open_telvane_from_the_context_menu(self):
        self.session.seed(VALUES, reload=True)
        x, y, width, height = self.wait_for("Temperatur: 21.5")["Temperatur: 21.5"]
        self.session.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2), "click", "3"])
        time.sleep(1)  # The menu is not on the accessibility bus; the applet's action is its first item.
        self.session.run(["xdotool", "key", "Down", "Return"])
        telvane = wait_until(lambda: group_process(self.viewer, rb"^([^\0]*/)?telvane\0"), 10)
        self.assertTrue(telvane, "Telvane did not start")
        os.kill(telvane, signal.SIGTERM)  # its window would cover the applet
        wait_until(lambda: not group_process(self.viewer, rb"^([^\0]*/)?telvane\0"), 10)


def main():
    global PACKAGE
    if len(sys.argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    PACKAGE, widget_dir, telvane = (os.path.abspath(a) for a in sys.argv[1:4])
    require_programs(VIEWER, "Xvfb", "dbus-daemon", "xdotool", "import", "compare")
    if not os.path.isdir("/usr/share/plasma/plasmoids/org.kde.desktopcontainment"):
        skip("Plasma's desktop containment is not installed (package plasma-desktop)")
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        skip("pyatspi is not installed (package python3-pyatspi)")
    Form.session = DesktopSession(path=[widget_dir, os.path.dirname(telvane)])
    try:
        result = unittest.main(argv=sys.argv[:1] + sys.argv[4:], exit=False, verbosity=2).result
    finally:
        Form.session.close()
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
