#!/usr/bin/python3
"""What the Plasma widget costs while nothing changes: the CPU time of
plasmoidviewer with the applet and everything it started (the waiting
telvane-widget among them) over a window in which the store stays as it
is, beside two baselines in the same window on the same store:

  - telvane-widget --follow, what a status bar keeps running;
  - telvane-widget --format json run once a second, what the applet would
    cost if it polled instead of waiting for a change.

The target is at most 1% of one core. Ages move while nothing is stored
("vor 10 min" becomes "vor 11 min"), so the applet's telvane-widget ends
and starts again about once a minute: that is part of the figure.

    plasma_applet_bench.py PACKAGE_DIR WIDGET_BIN_DIR [SECONDS]   (default 60)
"""

import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "desktop"))
from desktop_session import DesktopSession, run_or_skip, values  # noqa: E402
from plasma_viewer import SCREEN, PlasmoidViewer, check_available  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
TARGET = 0.01


def group_cpu_seconds(leader):
    """CPU time of every process in leader's process group, with what their
    children that already ended used."""
    total = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.getpgid(int(pid)) != leader.pid:
                continue
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += sum(int(v) for v in fields[11:15])  # utime stime cutime cstime
        except (OSError, IndexError):
            continue
    return total / TICKS


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    package, widget_dir = (os.path.abspath(a) for a in sys.argv[1:3])
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
    check_available()
    widget = os.path.join(widget_dir, "telvane-widget")
    with DesktopSession(path=[widget_dir], screen=SCREEN) as session:
        session.seed(values(age=900))
        viewer = PlasmoidViewer(session, package, accessible=False).process
        follow = session.spawn([widget, "--follow"], log=os.path.join(session.root, "follow.log"))
        time.sleep(5)  # past start-up

        viewer_before, follow_before = group_cpu_seconds(viewer), group_cpu_seconds(follow)
        polls_before, start = children_cpu_seconds(), time.monotonic()
        while time.monotonic() - start < seconds:
            session.run([widget, "--format", "json"], stdout=subprocess.DEVNULL)
            time.sleep(max(0.0, 1.0 - (time.monotonic() - start) % 1.0))
        elapsed = time.monotonic() - start
        applet = group_cpu_seconds(viewer) - viewer_before
        follow_cpu = group_cpu_seconds(follow) - follow_before
        polling = children_cpu_seconds() - polls_before

    def share(cpu):
        return "%7.3f s CPU  %6.3f%% of one core" % (cpu, 100 * cpu / elapsed)

    print("Plasma widget while nothing changes, %.0f s on one store:" % elapsed)
    print("  plasmoidviewer + applet + its telvane-widget  " + share(applet))
    print("  baseline: telvane-widget --follow             " + share(follow_cpu))
    print("  baseline: telvane-widget every second         " + share(polling))
    print("  applet / polling every second: %.2f" % (applet / polling if polling else float("nan")))
    if follow_cpu > 0:
        print("  applet / --follow: %.1f" % (applet / follow_cpu))
    else:
        print("  applet / --follow: --follow used less than one clock tick (%.3f s)" % (1 / TICKS))
    verdict = "ok" if applet / elapsed <= TARGET else "OVER"
    print("  target at most %.0f%% of one core: %s" % (100 * TARGET, verdict))
    return 0 if verdict == "ok" else 1


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(run_or_skip(main, "plasma_applet_bench", skip_code=0))
