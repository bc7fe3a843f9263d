import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15

ApplicationWindow {
    id: window
    visible: true
    width: 1200
    height: 800
    title: "Tarrowind Utility v0.9.86"

    Label {
        anchors.centerIn: parent
        text: "Tarrowind Utility v0.9.86"
        font.pixelSize: 28
    }
}
