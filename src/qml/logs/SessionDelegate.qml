import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "Markup.js" as Markup

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
        // A session saved before shows a check instead of the record mark; hovering names the file.
        Image {
            objectName: "sessionMark"
            readonly property bool saved: row.savedPath !== ""
            source: saved ? "qrc:/icons/check.svg" : "qrc:/icons/record.svg"
            sourceSize.width: 20 * row.pixelScale
            sourceSize.height: 20 * row.pixelScale
            ToolTip.visible: saved && savedHover.hovered
            ToolTip.text: Markup.styled("Saved as " + row.savedPath)
            HoverHandler { id: savedHover }
        }
        Label {
            objectName: "sessionFileName"
            textFormat: Text.PlainText
            text: row.fileName
            elide: Text.ElideMiddle
            Layout.fillWidth: true
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
