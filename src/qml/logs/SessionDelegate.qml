import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// One session on the logger: its file name, dates, size and what can be done with it.
ItemDelegate {
    id: row

    property real pixelScale: 1
    property string fileName
    property string dateText
    property string sizeText
    property bool actionsEnabled
    // Where this session was saved before ("" when it never was, or the logger reused its place).
    property string savedPath

    signal openRequested()
    signal saveRequested()

    onDoubleClicked: if (actionsEnabled) openRequested()

    contentItem: RowLayout {
        spacing: 12 * row.pixelScale
        Image {
            source: "qrc:/icons/record.svg"
            sourceSize.width: 20 * row.pixelScale
            sourceSize.height: 20 * row.pixelScale
        }
        Label {
            objectName: "sessionFileName"
            text: row.fileName
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        Label {
            objectName: "sessionSaved"
            visible: row.savedPath !== ""
            text: "Saved"
            color: "#2e7d32"
            ToolTip.visible: savedHover.hovered
            ToolTip.text: row.savedPath
            HoverHandler { id: savedHover }
        }
        Label {
            objectName: "sessionDate"
            text: row.dateText
        }
        Label {
            objectName: "sessionSize"
            text: row.sizeText
            Layout.preferredWidth: 90 * row.pixelScale
            horizontalAlignment: Text.AlignRight
        }
        Button {
            objectName: "sessionOpen"
            text: "Open"
            enabled: row.actionsEnabled
            onClicked: row.openRequested()
        }
        Button {
            objectName: "sessionSave"
            text: "Save"
            enabled: row.actionsEnabled
            onClicked: row.saveRequested()
        }
    }
}
