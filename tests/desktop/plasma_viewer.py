"""Plasma's plasmoidviewer with Telvane's Plasma widget, in a DesktopSession
with an Xvfb display, for the widget's test, benchmark and picture. It is
read through the accessibility bus and driven with xdotool."""

import os
import time

from desktop_session import SkipTest, processes, require_programs, require_pyatspi, shown_texts, wait_until

VIEWER = "plasmoidviewer"
SCREEN = "1280x800x24"
CHANGED_FROM = r"--changed-from=[0-9a-f]{16}"  # telvane-widget waiting on the digest of what the applet shows


def check_available():
    """Raises SkipTest naming what this machine lacks."""
    require_programs(VIEWER, "Xvfb", "dbus-daemon", "dbus-send", "xdotool", "import", "compare")
    if not os.path.isdir("/usr/share/plasma/plasmoids/org.kde.desktopcontainment"):
        raise SkipTest("Plasma's desktop containment is not installed (package plasma-desktop)")
    require_pyatspi()


class PlasmoidViewer:
    def __init__(self, session, package, arguments=(), log=None, accessible=True):
        """plasmoidviewer with the applet, once the applet has drawn: when
        its telvane-widget waits on the digest of what it shows. With
        `accessible`, once it is on the accessibility bus too."""
        self.session = session
        with open(os.path.join(session.env["XDG_CONFIG_HOME"], "plasmoidviewer-appletsrc"), "w") as f:
            f.write("[ActionPlugins][0]\nRightButton;NoModifier=org.kde.contextmenu\n")  # else no context menu
        log = log or os.path.join(session.root, "viewer.log")
        self.process = session.spawn([VIEWER, "-a", package] + list(arguments), log=log)
        if not wait_until(lambda: self.running("telvane-widget", CHANGED_FROM), 60, 0.2):
            with open(log) as f:
                raise AssertionError("the applet never ran telvane-widget:\n" + f.read()[-3000:])
        time.sleep(0.5)
        self.accessible = accessible
        if accessible:
            session.set_accessibility(True)
            if wait_until(self.texts, 20, 0.5) is None:
                raise AssertionError("plasmoidviewer did not join the accessibility bus")

    def close(self):
        self.session.stop(self.process)
        if self.accessible:
            self.session.set_accessibility(False)

    def texts(self):
        """Its texts on screen as Shown; None while it is not on the
        accessibility bus."""
        return shown_texts(VIEWER)

    def running(self, executable, argument=None):
        """Pids of what the viewer started (and still runs) of `executable`."""
        return processes(executable, group=self.process.pid, argument=argument)

    def hover(self, box):
        # Plasma opens a tooltip on a move inside the applet, not on a jump into it.
        x, y, width, height = box
        self.session.run(["xdotool", "mousemove", str(x + 2), str(y + 2)])
        self.session.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2)])
