import QtQuick 2.15
import QtQuick.Layouts 1.15
import org.kde.kirigami 2.20 as Kirigami
import org.kde.plasma.components 3.0 as PlasmaComponents3

// One entry: its label small, its value large, its age below.
Rectangle {
    id: card

    property string label
    property string value
    property string note
    property bool stale: false

    radius: Kirigami.Units.smallSpacing * 2
    color: Qt.rgba(Kirigami.Theme.textColor.r, Kirigami.Theme.textColor.g, Kirigami.Theme.textColor.b, 0.08)

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Kirigami.Units.smallSpacing * 2
        spacing: 0

        PlasmaComponents3.Label {
            Layout.fillWidth: true
            text: card.label
            textFormat: Text.PlainText
            maximumLineCount: 1
            elide: Text.ElideRight
            opacity: 0.8
            font: Kirigami.Theme.smallFont
        }
        PlasmaComponents3.Label {
            Layout.fillWidth: true
            Layout.fillHeight: true
            text: card.value
            textFormat: Text.PlainText
            maximumLineCount: 1
            elide: Text.ElideRight
            font.bold: true
            font.pixelSize: Math.max(Kirigami.Theme.defaultFont.pixelSize, card.height * 0.35)
            fontSizeMode: Text.HorizontalFit
            minimumPixelSize: Kirigami.Theme.defaultFont.pixelSize
            color: card.stale ? Kirigami.Theme.disabledTextColor : Kirigami.Theme.textColor
        }
        PlasmaComponents3.Label {
            Layout.fillWidth: true
            visible: text.length > 0
            text: card.note
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            maximumLineCount: 2
            elide: Text.ElideRight
            opacity: 0.7
            font: Kirigami.Theme.smallFont
        }
    }
}
