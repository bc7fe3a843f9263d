import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// A transient message near the bottom centre: positive ones show a check, negative ones an
// alert and stay until dismissed, neutral ones show no icon.
Popup {
    id: popup

    property int positivity: 0
    property string message: ""
    property real pixelScale: 1.0

    function show(newPositivity, newMessage) {
        positivity = newPositivity
        message = newMessage
        open()
        if (positivity < 0)
            closeTimer.stop()
        else
            closeTimer.restart()
    }

    modal: false
    focus: false
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? parent.height - height - 40 * pixelScale : 0
    padding: 10 * pixelScale

    contentItem: RowLayout {
        spacing: 8 * popup.pixelScale
        Image {
            visible: popup.positivity !== 0
            source: popup.positivity > 0 ? "qrc:/icons/check.svg" : "qrc:/icons/alert.svg"
            sourceSize.width: 22 * popup.pixelScale
            sourceSize.height: 22 * popup.pixelScale
        }
        Label {
            objectName: "messageText"
            textFormat: Text.PlainText
            text: popup.message
            wrapMode: Text.Wrap
            Layout.maximumWidth: (popup.parent ? popup.parent.width * 0.8 : 600)
        }
    }

    Timer {
        id: closeTimer
        interval: 1500
        onTriggered: popup.close()
    }
}
