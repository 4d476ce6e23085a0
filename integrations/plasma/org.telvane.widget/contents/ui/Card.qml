import QtQuick 2.15
import org.kde.plasma.core 2.0 as PlasmaCore
import org.kde.plasma.components 3.0 as PlasmaComponents3

// One entry: its label small, its value large, the last 24 hours as a line
// under it, its age and its 24 hour minimum and maximum below (the range
// alone where both do not fit). The value takes the height the other lines
// leave, and shrinks to fit its width before it is cut; a card too low for
// all of them drops the line with its range, then the age, then the label.
Rectangle {
    id: card

    property string label
    property string value
    property string note
    property bool stale: false
    property var history: []
    property real historyLow: 0
    property real historyHigh: 0
    property real historyEnd: 0
    property string rangeText
    readonly property real unit: PlasmaCore.Units.gridUnit
    readonly property real padding: PlasmaCore.Units.smallSpacing * 2
    readonly property color valueColor: stale ? PlasmaCore.Theme.disabledTextColor : PlasmaCore.Theme.textColor
    readonly property bool noteRowShown: noteText.visible || rangeLabel.visible

    radius: PlasmaCore.Units.smallSpacing * 2
    color: Qt.rgba(PlasmaCore.Theme.textColor.r, PlasmaCore.Theme.textColor.g, PlasmaCore.Theme.textColor.b, 0.08)
    clip: true

    PlasmaComponents3.Label {
        id: labelText
        anchors { left: parent.left; right: parent.right; top: parent.top; margins: card.padding }
        visible: card.height >= 2 * card.padding + implicitHeight + card.unit
        text: card.label
        textFormat: Text.PlainText
        maximumLineCount: 1
        elide: Text.ElideRight
        opacity: 0.8
        font: PlasmaCore.Theme.smallestFont
    }
    PlasmaComponents3.Label {
        anchors {
            left: parent.left; right: parent.right
            top: labelText.visible ? labelText.bottom : parent.top
            bottom: graph.visible ? graph.top : card.noteRowShown ? noteText.top : parent.bottom
            leftMargin: card.padding; rightMargin: card.padding
            topMargin: labelText.visible ? 0 : card.padding
            bottomMargin: graph.visible || card.noteRowShown ? 0 : card.padding
        }
        text: card.value
        textFormat: Text.PlainText
        maximumLineCount: 1
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
        font.bold: true
        font.pixelSize: Math.max(card.unit * 0.8, Math.min(height * 0.9, 3 * card.unit))
        fontSizeMode: Text.HorizontalFit
        minimumPixelSize: card.unit * 0.8
        color: card.valueColor
    }
    Sparkline {
        id: graph
        anchors {
            left: parent.left; right: parent.right
            bottom: card.noteRowShown ? noteText.top : parent.bottom
            leftMargin: card.padding; rightMargin: card.padding
            bottomMargin: card.noteRowShown ? PlasmaCore.Units.smallSpacing : card.padding
        }
        height: card.unit
        visible: card.history.length > 0
                 && card.height >= 2 * card.padding + labelText.implicitHeight + noteText.implicitHeight
                                   + 1.5 * card.unit + height
        points: card.history
        low: card.historyLow
        high: card.historyHigh
        end: card.historyEnd
        color: card.valueColor
    }
    PlasmaComponents3.Label {
        id: noteText
        anchors {
            left: parent.left; right: rangeLabel.visible ? rangeLabel.left : parent.right; bottom: parent.bottom
            margins: card.padding
        }
        // Where the age and the day's range do not fit side by side, the
        // range takes the age's place: the line above it needs it.
        visible: text.length > 0
                 && card.height >= 2 * card.padding + labelText.implicitHeight + implicitHeight + 1.5 * card.unit
                 && (!rangeLabel.visible
                     || implicitWidth + card.unit + rangeLabel.implicitWidth <= card.width - 2 * card.padding)
        text: card.note
        textFormat: Text.PlainText
        maximumLineCount: 1
        elide: Text.ElideRight
        opacity: 0.7
        font: PlasmaCore.Theme.smallestFont
    }
    PlasmaComponents3.Label {
        id: rangeLabel
        anchors { right: parent.right; bottom: parent.bottom; margins: card.padding }
        visible: graph.visible && text.length > 0 && implicitWidth <= card.width - 2 * card.padding
        text: card.rangeText
        textFormat: Text.PlainText
        maximumLineCount: 1
        opacity: 0.7
        font: PlasmaCore.Theme.smallestFont
    }
}
