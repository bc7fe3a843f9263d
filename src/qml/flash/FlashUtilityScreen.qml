import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.platform 1.1 as Platform
import localdev 1.0
import "FlashRules.js" as FlashRules

// Firmware update: the logger waits in its bootloader while this screen is open.
Item {
    id: screen
    objectName: "flashUtilityScreen"

    property TarrowindLogger logger: globals.tarrowindLogger
    property Settings settings: globals.settings
    property FirmwareMeta onlineFirmware: globals.onlineFirmwareMeta
    property FirmwareDownloader downloader: globals.firmwareDownloader
    property QtObject host: globals.host
    property real pixelScale: globals.pixelScale
    property FirmwareMeta fileFirmware: FirmwareMeta {}

    readonly property string headerTitle: "Flash Utility"
    readonly property StmBootLoader bootloader: logger.bootloader
    readonly property bool busy: bootloader.state === StmBootLoader.State_Busy
    readonly property string runningOperation: flasher.flashing ? "firmware" : ""

    property bool useOnline: FlashRules.preselectOnline(settings.onlineFirmwareCheck, onlineFirmware.loadStatus,
                                                        downloader.downloading ? "" : downloader.lastError)
    property bool userChose: false
    property bool fileChosen: false
    readonly property FirmwareMeta chosen: useOnline ? onlineFirmware : fileFirmware

    // The logger waits in its bootloader while this screen is open.
    FirmwareFlasher {
        id: flasher
        objectName: "firmwareFlasher"
        logger: screen.logger
    }

    Component.onCompleted: {
        // Chosen once: later downloads do not move the user's choice.
        useOnline = useOnline
        flasher.enterBootloader()
    }
    Component.onDestruction: flasher.exitBootloader()

    function loadFile(url) {
        var path = host ? host.urlToLocalFile(url) : String(url)
        if (host && path !== "")
            settings.setField("flashSettings", "folder", host.parentFolder(path))
        fileChosen = true
        userChose = true
        useOnline = false
        fileFirmware.load(url)
    }

    Connections {
        target: screen.downloader
        function onFinished(errorString) {
            screen.useOnline = FlashRules.onlineAfterDownload(screen.useOnline, screen.userChose, errorString)
        }
    }

    function chooseOnline() {
        userChose = true
        useOnline = true
        if (FlashRules.downloadOnChoosing(onlineFirmware.loadStatus, downloader.downloading))
            downloader.loadLatestFirmware()
    }

    // Checked here whatever state the button is in: only a verified image is ever written.
    function flashNow() {
        if (!FlashRules.mayFlash(bootloader.state, chosen.loadStatus)) {
            console.warn("Flash refused: the bootloader is not ready or the image did not load")
            return false
        }
        return flasher.flash(chosen.payload)
    }

    function leave() {
        if (!busy)
            globals.globalTrigger("screen.pop")
    }

    Flickable {
        anchors.fill: parent
        contentHeight: column.implicitHeight + 40 * screen.pixelScale
        clip: true
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: column
            x: Math.max(10 * screen.pixelScale, (parent.width - width) / 2)
            y: 20 * screen.pixelScale
            width: Math.min(parent.width - 20 * screen.pixelScale, 760 * screen.pixelScale)
            spacing: 22 * screen.pixelScale

            Label {
                text: "<b>Tarrowind Flash Tool</b>"
                textFormat: Text.StyledText
                font.pixelSize: 22 * screen.pixelScale
            }

            FlashStep {
                objectName: "adapterStep"
                heading: "<b>Step 1:</b> Attach Tarrowind USB adapter and logger"
                state: FlashRules.adapterStepDone(screen.bootloader.state) ? "good" : ""
                pixelScale: screen.pixelScale
                SerialDeviceStatus {
                    logger: screen.logger
                    wantsBootloader: true
                    pixelScale: screen.pixelScale
                }
            }

            FlashStep {
                objectName: "imageStep"
                heading: "<b>Step 2:</b> Select firmware"
                state: FlashRules.imageStepDone(screen.chosen.loadStatus) ? "good" : ""
                pixelScale: screen.pixelScale
                enabled: FlashRules.choicesEnabled(screen.bootloader.state)

                ButtonGroup { id: choiceGroup }
                FirmwareChoice {
                    objectName: "fileChoice"
                    group: choiceGroup
                    checked: !screen.useOnline
                    title: "Firmware file from my computer"
                    meta: screen.fileFirmware
                    stateText: FlashRules.loadStateText({ online: false, fileChosen: screen.fileChosen,
                                                          loadStatus: screen.fileFirmware.loadStatus })
                    pixelScale: screen.pixelScale
                    onChosen: {
                        screen.userChose = true
                        screen.useOnline = false
                    }
                    Button {
                        objectName: "selectFileButton"
                        text: "Select firmware file..."
                        onClicked: fileDialog.open()
                    }
                }
                FirmwareChoice {
                    objectName: "onlineChoice"
                    group: choiceGroup
                    checked: screen.useOnline
                    title: "Latest firmware available online"
                    meta: screen.onlineFirmware
                    stateText: FlashRules.loadStateText({ online: true, downloading: screen.downloader.downloading,
                                                          downloadError: screen.downloader.lastError,
                                                          loadStatus: screen.onlineFirmware.loadStatus })
                    pixelScale: screen.pixelScale
                    onChosen: screen.chooseOnline()
                }
            }

            FlashStep {
                objectName: "flashStep"
                heading: "<b>Step 3:</b> Perform the flash operation"
                state: FlashRules.resultState(flasher.finished, flasher.resultError)
                pixelScale: screen.pixelScale

                Button {
                    objectName: "flashNowButton"
                    text: "Flash Now"
                    enabled: FlashRules.mayFlash(screen.bootloader.state, screen.chosen.loadStatus)
                    onClicked: screen.flashNow()
                }
                ProgressBar {
                    objectName: "flashProgress"
                    visible: screen.busy && flasher.flashing
                    value: screen.bootloader.operationProgress
                    Layout.fillWidth: true
                }
                Label {
                    objectName: "flashResultText"
                    textFormat: Text.PlainText
                    visible: text !== ""
                    text: FlashRules.resultText(flasher.finished, flasher.resultError, flasher.resultErrorText)
                    color: flasher.resultError === StmBootLoader.Error_None ? "#66bb6a" : "#ef5350"
                }
            }

            Button {
                objectName: "backButton"
                text: "Back"
                enabled: !screen.busy
                onClicked: screen.leave()
            }
        }
    }

    Platform.FileDialog {
        id: fileDialog
        title: "Please choose a file"
        nameFilters: ["Firmware (*.fw)", "All files (*)"]
        folder: screen.host ? screen.host.urlFromLocalFile(screen.settings.flashSettings.folder) : ""
        onAccepted: screen.loadFile(file)
    }
}
