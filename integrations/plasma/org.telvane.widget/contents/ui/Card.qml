import QtQuick 2.15
import org.kde.kirigami 2.20 as Kirigami
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
    readonly property real unit: Kirigami.Units.gridUnit
    readonly property real padding: Kirigami.Units.smallSpacing * 2
    readonly property real smallLine: labelMetrics.height

    radius: Kirigami.Units.smallSpacing * 2
    color: Qt.rgba(Kirigami.Theme.textColor.r, Kirigami.Theme.textColor.g, Kirigami.Theme.textColor.b, 0.08)
    clip: true

    FontMetrics {
        id: labelMetrics
        font.pointSize: Kirigami.Theme.smallFont.pointSize
    }
    PlasmaComponents3.Label {
        id: labelText
        anchors { left: parent.left; right: parent.right; top: parent.top; margins: card.padding }
        visible: card.height >= 2 * card.padding + card.smallLine + 1.2 * card.unit
        height: visible ? implicitHeight : 0
        text: card.label
        textFormat: Text.PlainText
        maximumLineCount: 1
        elide: Text.ElideRight
        opacity: 0.8
        font.pointSize: Kirigami.Theme.smallFont.pointSize
    }
    PlasmaComponents3.Label {
        anchors {
            left: parent.left; right: parent.right; top: labelText.bottom; bottom: noteText.top
            leftMargin: card.padding; rightMargin: card.padding
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
        color: card.stale ? Kirigami.Theme.disabledTextColor : Kirigami.Theme.textColor
    }
    PlasmaComponents3.Label {
        id: noteText
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom; margins: card.padding }
        visible: text.length > 0 && card.height >= 2 * card.padding + 2 * card.smallLine + 1.5 * card.unit
        height: visible ? implicitHeight : 0
        text: card.note
        textFormat: Text.PlainText
        maximumLineCount: 1
        elide: Text.ElideRight
        opacity: 0.7
        font.pointSize: Kirigami.Theme.smallFont.pointSize
    }
}
