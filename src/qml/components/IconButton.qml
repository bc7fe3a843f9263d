import QtQuick 2.15
import QtQuick.Controls 2.15

// A flat icon button that confirms its action with a tooltip shown for `tipMs`.
ToolButton {
    id: button

    property url iconSource
    property string doneTip: ""
    property int tipMs: 2000
    property real size: 20

    icon.source: iconSource
    icon.width: size
    icon.height: size
    icon.color: "transparent"
    padding: 2
    implicitWidth: size + 8
    implicitHeight: size + 8

    ToolTip.text: doneTip
    ToolTip.timeout: tipMs
    onClicked: if (doneTip !== "") ToolTip.visible = true
}
