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

from desktop_session import HOSTILE_TEXTS, DesktopSession, SkipTest, children, find_all, texts, wait_until
from gnome_shell import GnomeShell
import seed_store

TEMPERATURE = {"label": "Temperatur", "topic": "home/t", "path": "temperature"}
WIND = {"label": "Wind", "topic": "home/w", "path": "speed"}


def seeded(store, items, messages, history=()):
    seed_store.write(store, {"items": items, "messages": messages, "history": list(history)})
    seed_store.reload_signal()


def message(topic, key, value, age=0):
    return {"topic": topic, "payload": json.dumps({key: value}), "age": age}


class GnomeShellExtensionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = DesktopSession().__enter__()
        cls.store = cls.session.store
        seed_store.write(cls.store, {"items": [TEMPERATURE], "messages": [message("home/t", "temperature", 20)]})
        try:
            # Telvane, started from the menu, has no display of its own here.
            cls.shell = GnomeShell(cls.session, EXTENSION_DIR, path=PROGRAM_DIRS,
                                   env={"QT_QPA_PLATFORM": "offscreen"})
        except BaseException:
            cls.session.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def show(self, items, messages, expected_bar, history=()):
        seeded(self.store, items, messages, history)
        self.assertEqual(self.shell.wait_for_bar(expected_bar), expected_bar)

    def test_bar_and_menu_show_the_entries_with_stale_ones_greyed(self):
        self.show([TEMPERATURE, WIND], [message("home/t", "temperature", 21.5, age=30),
                                        message("home/w", "speed", 7.2, age=7200)],
                  ["Temperatur: 21.5", "Wind: 7.2"],
                  history=[{"topic": "home/t", "path": "temperature", "points": [[90000, 30], [3600, 19], [30, 21.5]]}])
        fresh, stale = find_all(self.shell.indicator(), lambda node: node.getRoleName() == "label")
        self.assertLess(self.shell.brightest(stale), self.shell.brightest(fresh) - 0.2)
        try:
            rows = self.shell.open_menu()
            self.assertEqual(rows, [["Telvane öffnen"], ["Temperatur: 21.5", "24 h: min 19 · max 21.5", "gerade eben"],
                                    ["Wind: 7.2", "vor 2 h"]])
        finally:
            self.shell.close_menu()

    def test_a_stored_change_shows_within_a_second_of_the_reload_signal(self):
        self.show([TEMPERATURE], [message("home/t", "temperature", 21.5)], ["Temperatur: 21.5"])
        seed_store.write(self.store, {"items": [TEMPERATURE], "messages": [message("home/t", "temperature", 22.5)]})
        sent = time.monotonic()
        seed_store.reload_signal()
        self.assertEqual(self.shell.wait_for_bar(["Temperatur: 22.5"], timeout=3), ["Temperatur: 22.5"])
        self.assertLess(time.monotonic() - sent, 1.0)

    def test_hostile_texts_appear_literally_and_long_ones_are_cut(self):
        items, messages, expected = [], [], []
        for i, (text, shown) in enumerate(HOSTILE_TEXTS.items()):
            items.append({"label": text, "topic": f"t/{i}", "path": "v"})
            messages.append(message(f"t/{i}", "v", text))
            expected.append(f"{shown}: {shown}")
        items.append({"label": "Lang", "topic": "t/long", "path": "v"})
        messages.append(message("t/long", "v", "x" * 100000))
        expected.append("Lang: " + "x" * 39 + "\u2026")
        self.show(items, messages, expected)
        # Cut to a share of the screen, so the clock keeps its room.
        _, _, width, _ = self.shell.extents(self.shell.indicator())
        self.assertLessEqual(width, 1280 * 0.3 + 40)

    def test_store_states_show_the_widgets_texts(self):
        for prepare, expected in [(lambda: seed_store.main(["", self.store, "--missing"]), "Telvane: kein Speicher"),
                                  (lambda: seed_store.write(self.store, {}), "Telvane: keine Daten"),
                                  (lambda: seed_store.main(["", self.store, "--garbage"]), "Telvane: Fehler")]:
            with self.subTest(expected):
                prepare()
                seed_store.reload_signal()
                self.assertEqual(self.shell.wait_for_bar([expected]), [expected])
        seed_store.main(["", self.store, "--missing"])

    def test_an_ended_child_is_started_again_after_a_pause(self):
        self.show([TEMPERATURE], [message("home/t", "temperature", 1)], ["Temperatur: 1"])
        [child] = self.shell.widget_children()
        os.kill(child, signal.SIGKILL)
        ended = time.monotonic()
        restarted = wait_until(lambda: [pid for pid in self.shell.widget_children() if pid != child], timeout=10)
        self.assertEqual(len(restarted), 1)
        self.assertGreater(time.monotonic() - ended, 3)
        self.show([TEMPERATURE], [message("home/t", "temperature", 2)], ["Temperatur: 2"])

    def test_disabling_ends_the_child_and_enabling_runs_one(self):
        self.assertEqual(len(self.shell.widget_children()), 1)
        self.shell.set_enabled(False)
        self.assertTrue(wait_until(lambda: not self.shell.widget_children() and self.shell.indicator(0) is None,
                                   timeout=3), "a telvane-widget or the indicator stayed")
        self.shell.set_enabled(True)
        self.assertIsNotNone(self.shell.indicator(timeout=10))
        wait_until(lambda: self.shell.widget_children(), timeout=5)
        time.sleep(1)
        self.assertEqual(len(self.shell.widget_children()), 1)

    def test_telvane_oeffnen_starts_telvane(self):
        try:
            self.shell.open_menu()
            [item] = find_all(self.shell.app, lambda node: node.getRoleName() == "menu item"
                              and "Telvane öffnen" in texts(node))
            self.shell.click(item)
            started = wait_until(lambda: children(self.shell.process.pid, "telvane"), timeout=10)
            self.assertTrue(started, "no telvane process started")
            for pid in started:
                os.kill(pid, signal.SIGTERM)
        finally:
            self.shell.close_menu()


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    EXTENSION_DIR, PROGRAM_DIRS = sys.argv[1], sys.argv[2:]
    try:
        GnomeShell.check_available()
    except SkipTest as reason:
        print(f"SKIPPED: {reason}")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2, warnings="ignore")  # pyatspi calls deprecated API
