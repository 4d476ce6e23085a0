import QtQuick 2.15
import QtQuick.Layouts 1.15
import org.kde.plasma.core 2.0 as PlasmaCore
import org.kde.plasma.components 3.0 as PlasmaComponents3

// The panel form: the entries on one line like telvane-widget's text
// format, stale ones greyed; in a vertical panel one entry per line. Every
// entry and the whole line have a maximum width, so that no value
// stretches the panel.
Item {
    id: line

    property var snapshot
    property bool vertical: false
    readonly property bool hasEntries: snapshot.entries.length > 0
    readonly property real maximumEntryWidth: PlasmaCore.Units.gridUnit * 15
    readonly property real maximumLineWidth: PlasmaCore.Units.gridUnit * 40

    signal activated()

    Layout.minimumWidth: vertical ? 0 : Math.min(grid.implicitWidth, maximumLineWidth)
    Layout.preferredWidth: Layout.minimumWidth
    Layout.maximumWidth: vertical ? -1 : Layout.minimumWidth
    Layout.minimumHeight: vertical ? grid.implicitHeight : 0
    clip: true

    GridLayout {
        id: grid
        anchors.verticalCenter: parent.verticalCenter
        width: line.vertical ? line.width : implicitWidth
        columns: line.vertical ? 1 : Math.max(1, repeater.count)
        rowSpacing: 0
        columnSpacing: PlasmaCore.Units.gridUnit

        Repeater {
            id: repeater
            model: line.hasEntries ? line.snapshot.entries.length : 1

            PlasmaComponents3.Label {
                readonly property var entry: line.hasEntries ? line.snapshot.entries[index] : null
                text: entry ? entry.line : line.snapshot.text
                textFormat: Text.PlainText
                wrapMode: Text.NoWrap
                maximumLineCount: 1
                elide: Text.ElideRight
                Layout.maximumWidth: line.vertical ? line.width : line.maximumEntryWidth
                color: entry && entry.stale ? PlasmaCore.Theme.disabledTextColor : PlasmaCore.Theme.textColor
            }
        }
    }

    MouseArea {
        anchors.fill: parent
        onClicked: line.activated()
    }
}
