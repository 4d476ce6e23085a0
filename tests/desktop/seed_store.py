#!/usr/bin/python3
"""Writes a Telvane store for the desktop tests, as Telvane would, and can
send Telvane's reload signal.

    seed_store.py STORE SPEC.json [--reload]
    seed_store.py STORE --missing           (removes the store: state "missing")
    seed_store.py STORE --garbage           (a file that is no database: "error")

SPEC is JSON:
    {"items":    [{"label": "Temperatur", "topic": "home/t", "path": "temperature"}],
     "messages": [{"topic": "home/t", "payload": "{\\"temperature\\": 21.5}", "age": 30}],
     "labels":   {"home/t": "Wohnzimmer"},
     "history":  [{"topic": "home/t", "path": "temperature", "points": [[3600, 19.5], [0, 21.5]]}]}

"age" is seconds before now, as is the first number of each history point
(its value the second). Without "items" the widget shows the messages.
The documents are written in the store's own format (seconds since 2001,
JSON with the escaped "/"), in one transaction, so a reader sees all or none.
"""

import json
import os
import sqlite3
import subprocess
import sys
import time
import uuid

SECONDS_1970_TO_2001 = 978307200.0
# The history's tiers: (id, seconds per point).
HISTORY_TIERS = ((0, 10), (1, 300))


def encode(document):
    # The store's encoder escapes "/" (the widget reads either form).
    return json.dumps(document, ensure_ascii=False, separators=(",", ":")).replace("/", "\\/").encode()


def write(store, spec):
    os.makedirs(os.path.dirname(store), mode=0o700, exist_ok=True)
    now = time.time()
    config = {"host": "127.0.0.1", "port": 1883, "clientID": "Telvane-test",
              "topics": sorted({m["topic"] for m in spec.get("messages", [])}),
              "keepAliveInterval": 60, "protocolVersion": 0,
              "topicLabels": spec.get("labels", {})}
    messages = [{"topic": m["topic"], "payload": m["payload"],
                 "timestamp": now - m.get("age", 0) - SECONDS_1970_TO_2001}
                for m in spec.get("messages", [])]
    items = [{"id": str(uuid.uuid4()).upper(), "topic": i["topic"], "label": i["label"],
              "jsonPath": i.get("path", "")} for i in spec.get("items", [])]
    db = sqlite3.connect(store, timeout=5)
    try:
        with db:
            db.execute("CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value)")
            for key, document in (("config", config), ("messages", messages), ("displayItems", items)):
                db.execute("INSERT OR REPLACE INTO defaults(key, value) VALUES(?, ?)", (key, encode(document)))
            write_history(db, spec.get("history", []), now)
    finally:
        db.close()
    os.chmod(store, 0o600)


def write_history(db, series_list, now):
    """The points of each series, one per interval in every tier, replacing
    those stored before."""
    if not series_list:
        return
    db.execute("CREATE TABLE IF NOT EXISTS historySeries(id INTEGER PRIMARY KEY, topic TEXT NOT NULL, "
               "path TEXT NOT NULL, UNIQUE(topic, path))")
    db.execute("CREATE TABLE IF NOT EXISTS historyPoints(series INTEGER NOT NULL, tier INTEGER NOT NULL, "
               "bucket INTEGER NOT NULL, time REAL NOT NULL, value REAL NOT NULL, min REAL, max REAL, "
               "PRIMARY KEY(series, tier, bucket)) WITHOUT ROWID")
    db.execute("DELETE FROM historyPoints")
    for series in series_list:
        db.execute("INSERT OR IGNORE INTO historySeries(topic, path) VALUES(?, ?)", (series["topic"], series["path"]))
        [series_id] = db.execute("SELECT id FROM historySeries WHERE topic = ? AND path = ?",
                                 (series["topic"], series["path"])).fetchone()
        for age, value in series["points"]:
            time_ = now - age
            for tier, interval in HISTORY_TIERS:
                db.execute("INSERT OR REPLACE INTO historyPoints(series, tier, bucket, time, value) "
                           "VALUES(?, ?, ?, ?, ?)", (series_id, tier, int(time_ // interval), time_, value))


def reload_signal():
    # What Telvane sends after each stored batch; without a session bus the
    # widget polls the store anyway.
    subprocess.run(["dbus-send", "--session", "--type=signal", "/org/telvane/Telvane",
                    "org.telvane.Telvane.Widget.ReloadAllTimelines"], check=False)


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    store, what = argv[1], argv[2]
    if what == "--missing":
        for suffix in ("", "-wal", "-shm", "-journal"):
            if os.path.exists(store + suffix):
                os.remove(store + suffix)
    elif what == "--garbage":
        os.makedirs(os.path.dirname(store), mode=0o700, exist_ok=True)
        with open(store, "wb") as f:
            f.write(b"this is no database\n" * 100)
    else:
        with open(what, encoding="utf-8") as f:
            write(store, json.load(f))
    if "--reload" in argv[3:]:
        reload_signal()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
