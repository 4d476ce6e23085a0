import QtQuick 2.15
import QtQuick.Layouts 1.15
import org.kde.plasma.core 2.0 as PlasmaCore
import org.kde.plasma.components 3.0 as PlasmaComponents3
import org.kde.plasma.extras 2.0 as PlasmaExtras

// The panel's tooltip: each entry with its whole value and its age, or
// what is wrong with the store. A value of pages is cut after a few lines.
ColumnLayout {
    id: tip

    property var snapshot
    readonly property bool hasEntries: snapshot.entries.length > 0
    readonly property real textWidth: PlasmaCore.Units.gridUnit * 22

    Layout.minimumWidth: implicitWidth
    Layout.maximumWidth: implicitWidth
    Layout.minimumHeight: implicitHeight
    Layout.maximumHeight: implicitHeight
    spacing: 0

    PlasmaExtras.Heading {
        Layout.margins: PlasmaCore.Units.smallSpacing * 2
        Layout.bottomMargin: 0
        level: 3
        text: "Telvane"
        textFormat: Text.PlainText
    }
    Repeater {
        model: tip.hasEntries ? tip.snapshot.entries.length : 1

        PlasmaComponents3.Label {
            readonly property var entry: tip.hasEntries ? tip.snapshot.entries[index] : null
            Layout.leftMargin: PlasmaCore.Units.smallSpacing * 2
            Layout.rightMargin: PlasmaCore.Units.smallSpacing * 2
            Layout.preferredWidth: Math.min(implicitWidth, tip.textWidth)
            text: entry ? entry.line + (entry.ageText.length > 0 ? " \u2014 " + entry.ageText : "")
                        : tip.snapshot.reason.length > 0 ? tip.snapshot.reason : tip.snapshot.text
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            maximumLineCount: 4
            elide: Text.ElideRight
            color: entry && entry.stale ? PlasmaCore.Theme.disabledTextColor : PlasmaCore.Theme.textColor
        }
    }
    Item {
        Layout.preferredHeight: PlasmaCore.Units.smallSpacing * 2
    }
}
