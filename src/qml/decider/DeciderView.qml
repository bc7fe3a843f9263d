import QtQuick 2.15
import QtQuick.Controls 2.15
import localdev 1.0

// One software-rendered view of the decider with a button that zooms it over the whole area.
Item {
    id: view

    property alias source: renderer.source
    property alias eyeVector: renderer.eyeVector
    property alias drawAxes: renderer.drawAxes
    property alias drawPlanes: renderer.drawPlanes
    property alias orthogonal: renderer.orthogonal
    property alias interactive: renderer.interactive
    property string title
    property bool zoomed: false
    property real pixelScale: 1

    signal zoomToggled()

    SoftwareRenderer {
        id: renderer
        anchors.fill: parent
    }
    Rectangle {
        anchors.fill: parent
        color: "transparent"
        border.color: "#404040"
    }
    Label {
        text: view.title
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.margins: 6 * view.pixelScale
    }
    ToolButton {
        objectName: "zoomViewButton"
        text: view.zoomed ? "\u2199" : "\u2197"
        anchors.right: parent.right
        anchors.top: parent.top
        onClicked: view.zoomToggled()
    }
}
