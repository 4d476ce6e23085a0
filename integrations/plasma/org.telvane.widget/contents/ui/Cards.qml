import QtQuick 2.15
import QtQuick.Layouts 1.15
import org.kde.plasma.core 2.0 as PlasmaCore

// The desktop form: one card per entry like the widget window, with the
// last 24 hours drawn under the value where telvane-widget kept any. The cards
// share the applet's size, in the number of columns that makes them closest
// to twice as wide as high, and their values grow and shrink with them.
Item {
    id: cards

    property var snapshot
    readonly property bool hasEntries: snapshot.entries.length > 0
    readonly property int count: hasEntries ? snapshot.entries.length : 1

    Layout.minimumWidth: PlasmaCore.Units.gridUnit * 6
    Layout.minimumHeight: PlasmaCore.Units.gridUnit * 3
    // Where the applet starts; on the desktop the user sizes it from there.
    Layout.preferredWidth: PlasmaCore.Units.gridUnit * 18
    Layout.preferredHeight: PlasmaCore.Units.gridUnit * 8

    function columnsFor(width, height) {
        let best = 1;
        let bestDistance = Infinity;
        for (let columns = 1; columns <= count; ++columns) {
            const aspect = (width / columns) / (height / Math.ceil(count / columns));
            const distance = Math.abs(Math.log(aspect / 2));
            if (distance < bestDistance) {
                best = columns;
                bestDistance = distance;
            }
        }
        return best;
    }

    GridLayout {
        anchors.fill: parent
        anchors.margins: PlasmaCore.Units.smallSpacing
        columns: cards.columnsFor(width, height)
        rowSpacing: PlasmaCore.Units.smallSpacing
        columnSpacing: PlasmaCore.Units.smallSpacing

        Repeater {
            model: cards.count

            Card {
                readonly property var entry: cards.hasEntries ? cards.snapshot.entries[index] : null
                // Equal shares, whatever the texts ask for.
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.preferredWidth: 1
                Layout.preferredHeight: 1
                label: entry ? entry.label : "Telvane"
                value: entry ? entry.value : cards.snapshot.text
                note: entry ? entry.ageText : cards.snapshot.reason
                stale: entry ? entry.stale : false
                history: entry ? entry.history : []
                historyLow: entry ? entry.historyMin : 0
                historyHigh: entry ? entry.historyMax : 0
                historyEnd: cards.snapshot.now
                rangeText: entry ? entry.rangeText : ""
            }
        }
    }
}
