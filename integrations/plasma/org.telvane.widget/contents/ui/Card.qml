import QtQuick 2.15
import org.kde.plasma.core 2.0 as PlasmaCore
import org.kde.plasma.components 3.0 as PlasmaComponents3

// One entry: its label small, its value large, its age below. The value
// takes the height the two small lines leave, and shrinks to fit its width
// before it is cut; a card too low for three lines drops the age, then the
// label.
Rectangle {
    id: card

    property string label
    property string value
    property string note
    property bool stale: false
    readonly property real unit: PlasmaCore.Units.gridUnit
    readonly property real padding: PlasmaCore.Units.smallSpacing * 2

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
            bottom: noteText.visible ? noteText.top : parent.bottom
            leftMargin: card.padding; rightMargin: card.padding
            topMargin: labelText.visible ? 0 : card.padding; bottomMargin: noteText.visible ? 0 : card.padding
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
        color: card.stale ? PlasmaCore.Theme.disabledTextColor : PlasmaCore.Theme.textColor
    }
    PlasmaComponents3.Label {
        id: noteText
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom; margins: card.padding }
        visible: text.length > 0
                 && card.height >= 2 * card.padding + labelText.implicitHeight + implicitHeight + 1.5 * card.unit
        text: card.note
        textFormat: Text.PlainText
        maximumLineCount: 1
        elide: Text.ElideRight
        opacity: 0.7
        font: PlasmaCore.Theme.smallestFont
    }
}
