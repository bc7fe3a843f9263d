import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0

// Every log in the library, leaks first: sortable columns, a filter on the logger's serial,
// device or site name, and "Leaks only". The table is a model over the database; a
// double-click opens the log in the viewer.
Item {
    id: screen
    objectName: "libraryScreen"

    property LibraryService library: globals.library
    property real pixelScale: globals.pixelScale

    readonly property string headerTitle: "Library"
    // Shares of the table's width, column by column.
    readonly property var columnShares: [0.12, 0.15, 0.13, 0.22, 0.1, 0.19, 0.08]
    function columnWidth(column) {
        return Math.floor(table.width * columnShares[column])
    }
    property int selectedRow: -1

    signal message(int positivity, string text)
    onMessage: globals.globalMessage(positivity, text)

    LibraryTableModel {
        id: libraryModel
        objectName: "libraryModel"
        location: !screen.library ? "" : archiveBox.checked ? screen.library.archiveAddress : screen.library.location
        filterText: filterField.text
        leaksOnly: leaksBox.checked
        onLogReady: screen.openViewer(path)
        onOpenFailed: screen.message(-1, "Could not open the log: " + message)
        onModelReset: screen.selectedRow = -1
    }

    function openRow(row) {
        selectedRow = row
        libraryModel.requestLog(row)
    }

    // The log of the last viewer opened from here; that viewer is gone before the next opens.
    property PulseLog openedLog: null

    function openViewer(path) {
        if (!StackView.view || StackView.status !== StackView.Active)
            return
        if (openedLog)
            openedLog.destroy()
        openedLog = pulseLogComponent.createObject(screen)
        if (!openedLog.load(path)) {
            message(-1, "Could not read the log file " + path)
            return
        }
        StackView.view.push("PulseLogViewer.qml", { pulseLog: openedLog, fullFilename: path })
    }

    Component {
        id: pulseLogComponent
        PulseLog {}
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16 * screen.pixelScale
        spacing: 8 * screen.pixelScale

        RowLayout {
            spacing: 10 * screen.pixelScale
            Button { objectName: "backButton"; text: "Back"; onClicked: globals.globalTrigger("screen.pop") }
            TextField {
                id: filterField
                objectName: "libraryFilter"
                placeholderText: "Serial, device or site name"
                selectByMouse: true
                Layout.preferredWidth: 320 * screen.pixelScale
            }
            CheckBox {
                id: leaksBox
                objectName: "leaksOnlyBox"
                text: "Leaks only"
            }
            // Every technician's logs, from the team's shared archive.
            CheckBox {
                id: archiveBox
                objectName: "teamArchiveBox"
                text: "Team archive"
                visible: screen.library && screen.library.archiveAddress !== ""
                checked: false
            }
            Item { Layout.fillWidth: true }
            Label {
                objectName: "libraryCount"
                text: libraryModel.count === 1 ? "1 log" : libraryModel.count + " logs"
            }
        }

        Label {
            objectName: "libraryError"
            text: libraryModel.lastError
            textFormat: Text.PlainText
            visible: text !== ""
            color: "#c62828"
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        Row {
            id: header
            Layout.fillWidth: true
            Repeater {
                model: screen.columnShares.length
                delegate: Button {
                    objectName: "libraryHeader" + index
                    width: screen.columnWidth(index)
                    flat: true
                    text: libraryModel.headerText(index)
                          + (libraryModel.sortColumn !== index ? "" : libraryModel.sortDescending ? " ▼" : " ▲")
                    onClicked: libraryModel.sortBy(index)
                }
            }
        }

        TableView {
            id: table
            objectName: "libraryTable"
            model: libraryModel
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            columnWidthProvider: function (column) { return screen.columnWidth(column) }
            onWidthChanged: forceLayout()
            rowHeightProvider: function () { return 28 * screen.pixelScale }
            ScrollBar.vertical: ScrollBar {}
            Layout.fillWidth: true
            Layout.fillHeight: true

            delegate: Rectangle {
                implicitHeight: 28 * screen.pixelScale
                color: row === screen.selectedRow ? "#bbdefb" : leak ? "#ffebee" : row % 2 ? "#f5f5f5" : "white"
                Label {
                    anchors.fill: parent
                    anchors.leftMargin: 6 * screen.pixelScale
                    verticalAlignment: Text.AlignVCenter
                    text: display !== undefined ? display : ""
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    color: leak && column === 6 ? "#c62828" : "black"
                    font.bold: leak && column === 6
                }
                MouseArea {
                    anchors.fill: parent
                    onClicked: screen.selectedRow = row
                    onDoubleClicked: screen.openRow(row)
                }
            }
        }

        Label {
            objectName: "libraryLocation"
            text: (archiveBox.checked ? "Team archive: " : "Library: ") + libraryModel.shownLocation
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            opacity: 0.7
            Layout.fillWidth: true
        }
    }
}
