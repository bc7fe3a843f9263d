import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Window 2.15
import QtQuick.Layouts 1.15
import Qt.labs.platform 1.1 as Platform
import "Units.js" as Units

// The program's own settings.
Flickable {
    id: screen

    property Settings settings: globals.settings
    property QtObject host: globals.host
    // Checks a "Shared archive address" before it is kept (archiveAddressError).
    property QtObject library: globals.library
    property real pixelScale: globals.pixelScale

    readonly property var syncModes: ["Always", "Never", "Ask"]

    // A stored unit the program does not know is replaced as soon as it is shown.
    Component.onCompleted: {
        var unit = Units.knownOrGallons(settings.volumeUnit)
        if (unit !== settings.volumeUnit)
            settings.volumeUnit = unit
    }

    contentHeight: grid.implicitHeight + 2 * grid.y
    clip: true
    ScrollBar.vertical: ScrollBar {}

    // Keyboard focus is hard to see on the style's drop-downs and check boxes: one frame follows it.
    Rectangle {
        objectName: "focusFrame"
        readonly property Item target: {
            var item = Window.activeFocusItem
            for (var p = item; p; p = p.parent)
                if (p === grid)
                    return item
            return null
        }
        visible: target !== null
        z: 1
        color: "transparent"
        border.color: Material.accent
        border.width: 2
        radius: 2
        x: target ? target.mapToItem(grid.parent, 0, 0).x - 3 : 0
        y: target ? target.mapToItem(grid.parent, 0, 0).y - 3 : 0
        width: target ? target.width + 6 : 0
        height: target ? target.height + 6 : 0
    }

    GridLayout {
        id: grid
        columns: 2
        columnSpacing: 10 * screen.pixelScale
        rowSpacing: 6 * screen.pixelScale
        // As wide as the window allows, never wider: nothing is cut at 800 pixels.
        width: Math.min(screen.width - 32 * screen.pixelScale, 760 * screen.pixelScale)
        x: (screen.width - width) / 2
        y: 12 * screen.pixelScale

        Label { text: "Log folder:" }
        RowLayout {
            Layout.fillWidth: true
            Label {
                objectName: "logFolderText"
                textFormat: Text.PlainText
                text: screen.settings.logSettings.folder
                elide: Text.ElideMiddle
                Layout.fillWidth: true
            }
            Button {
                text: "Choose..."
                onClicked: folderDialog.open()
            }
        }

        Label { text: "Library:" }
        RowLayout {
            Layout.fillWidth: true
            Label {
                objectName: "libraryFileText"
                text: screen.settings.libraryFile !== "" ? screen.settings.libraryFile : "Default"
                elide: Text.ElideMiddle
                Layout.fillWidth: true
            }
            Button {
                text: "Choose..."
                onClicked: libraryDialog.open()
            }
            Button {
                objectName: "libraryDefaultButton"
                text: "Default"
                enabled: screen.settings.libraryFile !== ""
                onClicked: screen.settings.libraryFile = ""
            }
        }

        Label { text: "Shared archive address:" }
        ColumnLayout {
            TextField {
                id: archiveField
                objectName: "archiveAddressField"
                text: screen.settings.archiveAddress
                placeholderText: "postgresql://user@host/database"
                selectByMouse: true
                Layout.fillWidth: true
                readonly property string problem: screen.library ? screen.library.archiveAddressError(text) : ""
                onEditingFinished: if (problem === "") screen.settings.archiveAddress = text.trim()
            }
            Label {
                objectName: "archiveAddressProblem"
                text: archiveField.problem
                visible: text !== ""
                color: "#c62828"
                wrapMode: Text.Wrap
                textFormat: Text.PlainText
                Layout.fillWidth: true
            }
            Layout.fillWidth: true
        }

        Label { text: "Temperature unit:" }
        ComboBox {
            objectName: "temperatureUnitBox"
            model: Units.shownTemperatureUnits
            currentIndex: Units.temperatureUnits.indexOf(screen.settings.temperatureUnit)
            onActivated: screen.settings.temperatureUnit = Units.temperatureUnits[index]
            Layout.preferredWidth: 200 * screen.pixelScale
        }

        Label { text: "Volume unit:" }
        ComboBox {
            objectName: "volumeUnitBox"
            model: Units.shownNames()
            currentIndex: Units.indexOf(screen.settings.volumeUnit)
            onActivated: screen.settings.volumeUnit = Units.names()[index]
            Layout.preferredWidth: 260 * screen.pixelScale
        }

        Label { text: "Sync logger clock when attached:" }
        ComboBox {
            objectName: "clockSyncBox"
            model: screen.syncModes
            currentIndex: model.indexOf(screen.settings.autoClockSyncMode)
            onActivated: screen.settings.autoClockSyncMode = textAt(index)
        }

        Label {
            text: "Do not ask if off by less than"
            enabled: screen.settings.autoClockSyncMode === "Ask"
        }
        RowLayout {
            enabled: screen.settings.autoClockSyncMode === "Ask"
            TextField {
                objectName: "askSecondsField"
                text: String(screen.settings.autoClockSyncAskSeconds)
                validator: IntValidator { bottom: 0; top: 100000000 }
                selectByMouse: true
                Layout.preferredWidth: 100 * screen.pixelScale
                function store() {
                    if (acceptableInput && Number(text) !== screen.settings.autoClockSyncAskSeconds)
                        screen.settings.autoClockSyncAskSeconds = Number(text)
                }
                onAccepted: store()
                onActiveFocusChanged: if (!activeFocus) store()
            }
            Label { text: " seconds" }
        }

        Label { text: "Check online for latest firmware"; visible: screen.settings.advanced }
        CheckBox {
            objectName: "onlineFirmwareCheckBox"
            visible: screen.settings.advanced
            checked: screen.settings.onlineFirmwareCheck
            onToggled: screen.settings.onlineFirmwareCheck = checked
        }

        Label { text: "Firmware archive address" }
        TextField {
            objectName: "firmwareArchiveField"
            text: screen.settings.firmwareArchive
            selectByMouse: true
            Layout.fillWidth: true
            function store() {
                if (text.trim() !== screen.settings.firmwareArchive)
                    screen.settings.firmwareArchive = text.trim()
            }
            onAccepted: store()
            onActiveFocusChanged: if (!activeFocus) store()
        }

        Label { text: "Enable advanced/debug features" }
        CheckBox {
            objectName: "advancedBox"
            checked: screen.settings.advanced
            onToggled: {
                screen.settings.advanced = checked
                // The simple mode knows only the logger, and no log pane.
                if (!checked) {
                    screen.settings.dataSource = "Serial"
                    screen.settings.showLog = false
                }
            }
        }

        Label { text: "Show debug log"; visible: screen.settings.advanced }
        CheckBox {
            objectName: "showLogBox"
            visible: screen.settings.advanced
            checked: screen.settings.showLog
            onToggled: screen.settings.showLog = checked
        }
    }

    Platform.FolderDialog {
        id: folderDialog
        folder: {
            if (!screen.host)
                return ""
            var current = screen.settings.logSettings.folder
            var start = current !== "" ? screen.host.parentFolderIfFile(current) : screen.host.defaultLogFolder()
            return screen.host.urlFromLocalFile(start)
        }
        onAccepted: if (screen.host) screen.settings.setField("logSettings", "folder", screen.host.urlToLocalFile(folder))
    }

    Platform.FileDialog {
        id: libraryDialog
        title: "Library"
        fileMode: Platform.FileDialog.SaveFile
        options: Platform.FileDialog.DontConfirmOverwrite
        nameFilters: ["Library (*.sqlite)", "All files (*)"]
        onAccepted: if (screen.host) screen.settings.libraryFile = screen.host.urlToLocalFile(file)
    }
}
