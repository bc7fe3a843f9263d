import QtQuick 2.15
import QtQuick.Controls 2.15

// The rotation's phase as a dot on a circle, with the revolution count in the middle.
Item {
    id: circle

    property real angleRadians: 0
    property int count: 0
    property color color: "#f44336"

    Rectangle {
        anchors.fill: parent
        radius: width / 2
        color: "transparent"
        border.color: "#a7a7a7"
        border.width: Math.max(1, width / 24)
    }
    Rectangle {
        readonly property real r: circle.width / 2 - width / 2
        width: Math.max(3, circle.width / 6)
        height: width
        radius: width / 2
        color: circle.color
        x: circle.width / 2 + r * Math.cos(circle.angleRadians) - width / 2
        y: circle.height / 2 - r * Math.sin(circle.angleRadians) - height / 2
    }
    Label {
        id: countLabel
        anchors.centerIn: parent
        text: circle.count
        font.pixelSize: circle.height / 3.2
        // Pops at every revolution.
        SequentialAnimation on scale {
            id: pop
            running: false
            NumberAnimation { to: 1.5; duration: 20 }
            NumberAnimation { to: 1.0; duration: 100 }
        }
    }
    onCountChanged: pop.restart()

    MouseArea {
        id: hover
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.NoButton
    }
    ToolTip.visible: hover.containsMouse
    ToolTip.text: "Phase, Revolution count"
}
