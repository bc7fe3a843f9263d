import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// One step of the flash tool: its status icon, its heading and what the step needs.
RowLayout {
    id: step

    property string state: ""
    property string heading: ""
    property real pixelScale: 1.0
    default property alias content: body.data

    spacing: 12 * pixelScale

    Item {
        Layout.preferredWidth: 30 * step.pixelScale
        Layout.preferredHeight: 30 * step.pixelScale
        Layout.alignment: Qt.AlignTop
        StatusIcon {
            anchors.centerIn: parent
            state: step.state
            size: 28 * step.pixelScale
        }
        // An open circle while the step waits.
        Rectangle {
            anchors.centerIn: parent
            visible: step.state === ""
            width: 24 * step.pixelScale
            height: width
            radius: width / 2
            color: "transparent"
            border.color: "#9e9e9e"
            border.width: 2
        }
    }
    ColumnLayout {
        id: body
        spacing: 6 * step.pixelScale
        Layout.fillWidth: true
        Label {
            text: step.heading
            textFormat: Text.StyledText
            font.pixelSize: 16 * step.pixelScale
        }
    }
}
