import QtQuick 2.15
import QtQuick.Controls 2.15
import localdev 1.0

// A dial with its value printed beneath and a tooltip naming what it measures.
Item {
    id: dial

    property real value: 0
    property real maxValue: 1
    property int decimals: 1
    property string tip: ""

    readonly property string valueText: typeof runtime !== "undefined" && runtime
                                        ? runtime.localeFormatDouble(value, decimals) : value.toFixed(decimals)

    implicitWidth: 44
    implicitHeight: 44

    Gauge {
        id: gauge
        width: dial.width
        height: dial.width
        minValue: 0
        maxValue: dial.maxValue
        value: dial.value
    }
    Label {
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        text: dial.valueText
        font.pixelSize: Math.max(8, dial.height / 4.5)
        // Over the light dial face the figure needs its own dark ground to be read.
        color: "white"
        leftPadding: 2
        rightPadding: 2
        background: Rectangle { color: "#c0000000"; radius: 2 }
    }
    MouseArea {
        id: hover
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.NoButton
    }
    ToolTip.visible: hover.containsMouse
    ToolTip.text: tip + "\n" + valueText
}
