#!/usr/bin/python3
"""The Plasma widget "Telvane" from the build tree in Plasma's plasmoidviewer,
on the desktop (cards) and in a panel (one line), fed by the real
telvane-widget from a store written as Telvane writes it. Texts and places
come from the accessibility bus, colours and drawn widths (where plain text
and markup differ) from screenshots.

    plasma_test.py PACKAGE_DIR WIDGET_BIN_DIR TELVANE_EXECUTABLE [TEST...]
"""

import os
import signal
import sys
import time
import unittest

from desktop_session import CONTROL, ENTITY, LONG_VALUE, MARKUP, DesktopSession, ink, run_or_skip, run_tests, values, \
    wait_until
from plasma_viewer import SCREEN, PlasmoidViewer, check_available

# Raw messages named by their topic labels, newest first.
HOSTILE_ENTRIES = [("Wert1", MARKUP[0]), ("Wert2", MARKUP[1]), (ENTITY[0], "1"), (ENTITY[1], "1"),
                   ("Steuer", CONTROL[0]), ("Lang", LONG_VALUE)]
HOSTILE = {"labels": {"h/%d" % i: label for i, (label, _) in enumerate(HOSTILE_ENTRIES)},
           "messages": [{"topic": "h/%d" % i, "payload": value, "age": i} for i, (_, value) in
                        enumerate(HOSTILE_ENTRIES)]}


class Form:
    """The checks both forms share; a form says how it shows an entry."""
    arguments, first, session = [], values(), None

    @classmethod
    def setUpClass(cls):
        cls.session.seed(cls.first)
        cls.viewer = PlasmoidViewer(cls.session, PACKAGE, cls.arguments,
                                    os.path.join(cls.session.root, cls.__name__ + ".log"))

    @classmethod
    def tearDownClass(cls):
        cls.viewer.close()

    def wait_for(self, *texts, timeout=10):
        found = wait_until(lambda: (lambda shown: shown if all(t in shown for t in texts) else None)(
            {s.text: s.box for s in self.viewer.texts() or []}), timeout)
        self.assertTrue(found, "not shown: %.1500r\nshown: %.1500r" % (texts, self.viewer.texts()))
        return found

    def drawn(self):
        """A settled screenshot and the places of the texts in it."""
        shot = self.session.screenshot(os.path.join(self.session.root, "shot.png"))
        return shot, self.wait_for()

    def test_values_appear_apart_and_stale_ones_are_greyed(self):
        self.session.seed(values(), reload=True)
        texts = self.shows("Temperatur", "21.5") + self.shows("Wind", "7.2") + self.ages
        self.wait_for(*texts)
        shot, boxes = self.drawn()
        for a, b in ((a, b) for a in texts for b in texts if a < b):
            (ax, ay, aw, ah), (bx, by, bw, bh) = boxes[a], boxes[b]
            self.assertFalse(ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah, "%r covers %r" % (a, b))
        fresh, stale = self.shows("Temperatur", "21.5")[-1], self.shows("Wind", "7.2")[-1]
        self.assertGreater(ink(shot, boxes[fresh])[1] - ink(shot, boxes[stale])[1], 0.2, "stale is not greyed")

    def test_a_stored_change_shows_within_two_seconds(self):
        self.session.seed(values(), reload=True)
        self.wait_for(*self.shows("Temperatur", "21.5"))
        self.session.seed(values(22.5, age=0), reload=True)
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
    ages, shows = ("vor 5 min", "vor 2 h"), staticmethod(lambda label, value: (label, value))


class PanelForm(Form, unittest.TestCase):
    # plasmoidviewer, unlike a panel, keeps an applet at the width it first
    # asked for: it starts with the widest line, in a window wide enough.
    arguments, first, ages = ["-f", "horizontal", "-s", "1280x300"], HOSTILE, ()
    shows = staticmethod(lambda label, value: (label + ": " + value,))

    def test_tooltip_lists_each_entry_with_its_whole_value_and_age(self):
        self.session.seed(values(), reload=True)
        self.viewer.hover(self.wait_for("Temperatur: 21.5")["Temperatur: 21.5"])
        try:
            self.wait_for("Temperatur: 21.5 \u2014 vor 5 min", "Wind: 7.2 \u2014 vor 2 h")
        finally:
            self.session.run(["xdotool", "mousemove", "0", "0"])

    def test_open_telvane_from_the_context_menu(self):
        self.session.seed(values(), reload=True)
        x, y, width, height = self.wait_for("Temperatur: 21.5")["Temperatur: 21.5"]
        self.session.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2), "click", "3"])
        time.sleep(1)  # The menu is not on the accessibility bus; the applet's action is its first item.
        self.session.run(["xdotool", "key", "Down", "Return"])
        telvane = wait_until(lambda: self.viewer.running("telvane"), 10)
        self.assertTrue(telvane, "Telvane did not start")
        for pid in telvane:
            os.kill(pid, signal.SIGTERM)  # its window would cover the applet
        wait_until(lambda: not self.viewer.running("telvane"), 10)


def main():
    global PACKAGE
    PACKAGE, widget_dir, telvane = (os.path.abspath(a) for a in sys.argv[1:4])
    check_available()
    with DesktopSession(path=[widget_dir, os.path.dirname(telvane)], screen=SCREEN) as Form.session:
        return run_tests(sys.argv[:1] + sys.argv[4:])


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    sys.exit(run_or_skip(main))
