#!/usr/bin/python3
"""Telvane's GNOME Shell extension in a real, headless gnome-shell:

    gnome_shell_test.py EXTENSION_DIR PROGRAM_DIR...

PROGRAM_DIRs (telvane-widget's, telvane's) go first on the shell's PATH.
Exits 77 with "SKIPPED: why" where the shell or pyatspi is missing."""

import json
import os
import signal
import sys
import time
import unittest

from desktop_session import HOSTILE_TEXTS, DesktopSession, extents, find_all, ink, run_or_skip, run_tests, texts, \
    values, wait_until
from gnome_shell import GnomeShell


class GnomeShellExtensionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = DesktopSession(path=PROGRAM_DIRS)
        cls.session.seed(values(20))
        try:
            # Telvane, started from the menu, has no display of its own here.
            cls.shell = GnomeShell(cls.session, EXTENSION_DIR, env={"QT_QPA_PLATFORM": "offscreen"})
        except BaseException:
            cls.session.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def show(self, spec, expected_bar):
        self.session.seed(spec, reload=True)
        self.assertEqual(self.shell.wait_for_bar(expected_bar), expected_bar)

    def test_bar_and_menu_show_the_entries_with_stale_ones_greyed(self):
        self.show(values(21.5, age=30), ["Temperatur: 21.5", "Wind: 7.2"])
        fresh, stale = find_all(self.shell.indicator(), lambda node: node.getRoleName() == "label")
        shot = self.shell.screenshot(os.path.join(self.session.root, "shot.png"))
        self.assertLess(ink(shot, extents(stale))[1], ink(shot, extents(fresh))[1] - 0.2)
        try:
            rows = self.shell.open_menu()
            self.assertEqual(rows, [["Temperatur: 21.5", "gerade eben"], ["Wind: 7.2", "vor 2 h"], ["Telvane öffnen"]])
        finally:
            self.shell.close_menu()

    def test_a_stored_change_shows_within_a_second_of_the_reload_signal(self):
        self.show(values(21.5), ["Temperatur: 21.5", "Wind: 7.2"])
        self.session.seed(values(22.5))
        sent = time.monotonic()
        self.session.reload()
        self.assertEqual(self.shell.wait_for_bar(["Temperatur: 22.5", "Wind: 7.2"], timeout=3),
                         ["Temperatur: 22.5", "Wind: 7.2"])
        self.assertLess(time.monotonic() - sent, 1.0)

    def test_hostile_texts_appear_literally_and_long_ones_are_cut(self):
        labels = list(HOSTILE_TEXTS) + ["Lang"]
        spec = {"items": [{"label": label, "topic": f"t/{i}", "path": "v"} for i, label in enumerate(labels)],
                "messages": [{"topic": f"t/{i}", "payload": json.dumps({"v": value})}
                             for i, value in enumerate(list(HOSTILE_TEXTS) + ["x" * 100000])]}
        self.show(spec, [f"{shown}: {shown}" for shown in HOSTILE_TEXTS.values()] + ["Lang: " + "x" * 39 + "\u2026"])
        # Cut to a share of the screen, so the clock keeps its room.
        _, _, width, _ = extents(self.shell.indicator())
        self.assertLessEqual(width, 1280 * 0.3 + 40)

    def test_store_states_show_the_widgets_texts(self):
        for content, expected in [(None, "Telvane: kein Speicher"), (b"no database\n" * 100, "Telvane: Fehler")]:
            with self.subTest(expected):
                self.session.replace_store(content)
                self.assertEqual(self.shell.wait_for_bar([expected]), [expected])
        self.session.replace_store(reload=False)
        self.show({}, ["Telvane: keine Daten"])

    def test_an_ended_child_is_started_again_after_a_pause(self):
        self.show(values(1), ["Temperatur: 1", "Wind: 7.2"])
        [child] = self.shell.children()
        os.kill(child, signal.SIGKILL)
        ended = time.monotonic()
        restarted = wait_until(lambda: [pid for pid in self.shell.children() if pid != child], timeout=10)
        self.assertEqual(len(restarted or []), 1)
        self.assertGreater(time.monotonic() - ended, 3)
        self.show(values(2), ["Temperatur: 2", "Wind: 7.2"])

    def test_disabling_ends_the_child_and_enabling_runs_one(self):
        self.assertEqual(len(self.shell.children()), 1)
        self.shell.set_enabled(False)
        self.assertTrue(wait_until(lambda: not self.shell.children() and self.shell.indicator(0) is None,
                                   timeout=3), "a telvane-widget or the indicator stayed")
        self.shell.set_enabled(True)
        self.assertIsNotNone(self.shell.indicator(timeout=10))
        wait_until(self.shell.children, timeout=5)
        time.sleep(1)
        self.assertEqual(len(self.shell.children()), 1)

    def test_telvane_oeffnen_starts_telvane(self):
        try:
            self.shell.open_menu()
            [item] = find_all(self.shell.app, lambda node: node.getRoleName() == "menu item"
                              and "Telvane öffnen" in texts(node))
            self.shell.click(item)
            started = wait_until(lambda: self.shell.children("telvane"), timeout=10)
            self.assertTrue(started, "no telvane process started")
            for pid in started:
                os.kill(pid, signal.SIGTERM)
        finally:
            self.shell.close_menu()


def main():
    GnomeShell.check_available()
    return run_tests(sys.argv[:1])


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    EXTENSION_DIR, PROGRAM_DIRS = sys.argv[1], sys.argv[2:]
    sys.exit(run_or_skip(main))
