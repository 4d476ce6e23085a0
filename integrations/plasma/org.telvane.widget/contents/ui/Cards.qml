import QtQuick 2.15
import QtQuick.Layouts 1.15
import org.kde.kirigami 2.20 as Kirigami

// The desktop form: one card per entry like the widget window, as many
// columns as the applet's width holds, the value's size following the
// card's.
Item {
    id: cards

    property var snapshot
    readonly property bool hasEntries: snapshot.entries.length > 0
    readonly property int count: hasEntries ? snapshot.entries.length : 1
    readonly property real minimumCardWidth: Kirigami.Units.gridUnit * 7

    Layout.minimumWidth: minimumCardWidth
    Layout.minimumHeight: Kirigami.Units.gridUnit * 4
    Layout.preferredWidth: Kirigami.Units.gridUnit * 8 * Math.min(count, 3)
    Layout.preferredHeight: Kirigami.Units.gridUnit * 4 * Math.ceil(count / Math.min(count, 3))

    GridLayout {
        anchors.fill: parent
        anchors.margins: Kirigami.Units.smallSpacing
        columns: Math.max(1, Math.min(cards.count, Math.floor(width / cards.minimumCardWidth)))
        rowSpacing: Kirigami.Units.smallSpacing
        columnSpacing: Kirigami.Units.smallSpacing

        Repeater {
            model: cards.count

            Card {
                readonly property var entry: cards.hasEntries ? cards.snapshot.entries[index] : null
                Layout.fillWidth: true
                Layout.fillHeight: true
                label: entry ? entry.label : "Telvane"
                value: entry ? entry.value : cards.snapshot.text
                note: entry ? entry.ageText : cards.snapshot.reason
                stale: entry ? entry.stale : false
            }
        }
    }
}
