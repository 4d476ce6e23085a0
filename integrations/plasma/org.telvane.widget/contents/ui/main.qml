import QtQuick 2.15
import org.kde.plasma.plasmoid 2.0
import org.kde.plasma.core 2.0 as PlasmaCore

import "../code/snapshot.js" as Snapshot

// Telvane's values in a panel (one line) or on the desktop (cards). What to
// show comes from telvane-widget, so that the store's rules stay in one
// program. It runs until what it would show differs from what is shown
// (Telvane's reload signal wakes it), prints that and ends; then it runs
// again. While nothing changes nothing runs but that one waiting process.
Item {
    id: root

    property var snapshot: ({ digest: "", state: "empty", text: "Telvane", reason: "", now: 0, entries: [] })
    // The desktop cards draw the last 24 hours; the panel line has no room.
    readonly property string command: "telvane-widget --follow --format json"
                                      + (inPanel ? "" : " --history 24h") + " --changed-from=" + snapshot.digest
    readonly property bool inPanel: Plasmoid.formFactor === PlasmaCore.Types.Horizontal
                                    || Plasmoid.formFactor === PlasmaCore.Types.Vertical

    Plasmoid.icon: "telvane"
    Plasmoid.backgroundHints: PlasmaCore.Types.DefaultBackground | PlasmaCore.Types.ConfigurableBackground
    Plasmoid.preferredRepresentation: inPanel ? Plasmoid.compactRepresentation : Plasmoid.fullRepresentation
    Plasmoid.compactRepresentation: PanelLine {
        snapshot: root.snapshot
        vertical: Plasmoid.formFactor === PlasmaCore.Types.Vertical
        onActivated: Plasmoid.expanded = !Plasmoid.expanded
    }
    Plasmoid.fullRepresentation: Cards {
        snapshot: root.snapshot
    }
    Plasmoid.toolTipTextFormat: Text.PlainText
    Plasmoid.toolTipItem: EntriesToolTip {
        snapshot: root.snapshot
    }

    // The engine runs a command once per connected source: each run is
    // disconnected when it reports, and the next one connected.
    PlasmaCore.DataSource {
        id: widgetProgram
        engine: "executable"
        onNewData: {
            disconnectSource(sourceName);
            const next = Snapshot.parse(data);
            root.snapshot = next;
            if (next.ok) {
                connectSource(root.command);
            } else {
                // Not in a loop: a missing or failing program is tried again later.
                retry.start();
            }
        }
    }
    Timer {
        id: retry
        interval: 5000
        onTriggered: widgetProgram.connectSource(root.command)
    }

    // Starting Telvane while it runs brings its window up. In the
    // background and without our pipes, so that it outlives the applet.
    PlasmaCore.DataSource {
        id: launcher
        engine: "executable"
        onNewData: disconnectSource(sourceName)
    }

    function action_open() {
        launcher.connectSource("telvane </dev/null >/dev/null 2>&1 &");
    }

    Component.onCompleted: {
        Plasmoid.setAction("open", "Telvane öffnen", "telvane");
        widgetProgram.connectSource(command);
    }
}
