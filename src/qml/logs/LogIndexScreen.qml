import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQml 2.15
import localdev 1.0
import "LogFiles.js" as LogFiles

// The sessions on the logger's flash: list, download into a viewer or a file, erase.
Item {
    id: screen
    objectName: "logIndexScreen"

    property TarrowindLogger logger: globals.tarrowindLogger
    property Settings settings: globals.settings
    property QtObject host: globals.host
    property LibraryService library: globals.library
    property real pixelScale: globals.pixelScale

    readonly property string headerTitle: "Logger Filesystem"
    readonly property TarrowindFirmware firmware: logger.firmware
    readonly property bool ready: firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    readonly property int status: filesystem.status
    readonly property var sessions: filesystem.sessions
    readonly property string serial: firmware.permanents256.length > 0 ? firmware.qmlToString(firmware.permanents256[0]) : ""

    property bool scanFinished: false
    property bool clearing: false
    property real clearProgress: 0
    property int clearRequestId: 0
    property bool lockWritten: false
    // What leaving or quitting would cut short.
    readonly property string runningOperation: clearing ? "clear"
                                             : sessionSaver.downloader.downloading || sessionSaver.saving ? "download" : ""

    signal message(int positivity, string text)
    onMessage: globals.globalMessage(positivity, text)

    // Downloads run faster at the higher line rate; the window's own binding returns afterwards.
    Binding {
        target: screen.firmware
        property: "targetBaud"
        value: Math.max(screen.settings.serialSettings.baud, 115200 * 4)
        restoreMode: Binding.RestoreBindingOrValue
    }

    RemoteFilesystem {
        id: filesystem
        objectName: "remoteFilesystem"
        remoteKestrelcove: screen.ready ? screen.firmware : null
        onStatusChanged: screen.onFilesystemStatus()
        onSessionIndexingFinished: {
            screen.scanFinished = success
            if (success && screen.serial !== "")
                sessionRegistry.scanned(screen.serial, filesystem.sessions)
        }
    }

    // Which sessions were saved before, here or by the command-line tool.
    SavedSessionRegistry {
        id: sessionRegistry
        objectName: "savedSessionRegistry"
        onLastErrorChanged: if (lastError !== "") screen.message(-1, lastError)
        Component.onCompleted: if (lastError !== "") screen.message(-1, lastError)
    }

    // Downloads, and saves into the log folder, the registry and the library.
    SessionSaver {
        id: sessionSaver
        objectName: "sessionSaver"
        remoteFileSystem: filesystem
        registry: sessionRegistry
        library: screen.library
        folder: screen.settings.logSettings.folder
        onMessage: screen.message(positivity, text)
        // After every download the list is read again.
        onFinished: filesystem.beginScanningSessions()
    }

    // Read from the filesystem itself: the bound copy may not have caught up yet.
    function onFilesystemStatus() {
        var now = filesystem.status
        if (LogFiles.forgetsScan(now))
            scanFinished = false
        // The fill level comes with the statistics; ask for fresh ones whenever the mount settles.
        if (now === LogFiles.Mounted)
            firmware.sendGetStats()
        if (LogFiles.scanDue(now, scanFinished))
            filesystem.beginScanningSessions()
    }

    // The logger stops logging on its own and stops streaming samples while we read its flash.
    function holdLogger(hold) {
        firmware.sendWriteTemporary16(Network.FlashLogging_RemoteLock, hold ? 1 : 0)
        firmware.sendWriteTemporary16(Network.RawXyzOutput_Enable, hold ? 0 : 1)
        lockWritten = hold
    }
    onReadyChanged: if (ready) holdLogger(true)

    function unsavedCount() {
        var n = 0
        for (var i = 0; i < sessions.length; ++i)
            if (host.findUnusedFileName(fullPath(sessions[i])) === fullPath(sessions[i]))
                ++n
        return n
    }

    function fileName(session) {
        return LogFiles.sessionFileName(firmware.deviceName, session.sessionIndex, session.filename, session.filetype)
    }
    function fullPath(session) {
        return LogFiles.sessionPath(settings.logSettings.folder, fileName(session))
    }

    function openSession(session) {
        if (!LogFiles.openEnabled(status))
            return
        sessionSaver.open(session)
        if (StackView.view)
            StackView.view.push("PulseLogViewer.qml", { pulseLog: sessionSaver.downloader.pulseLog, downloader: sessionSaver.downloader,
                                                         fullFilename: fullPath(session) })
    }

    function saveSession(session) {
        if (LogFiles.openEnabled(status))
            sessionSaver.save(session)
    }

    // Leaving was confirmed: nothing started here goes on behind the next screen.
    function cancelRunning() {
        sessionSaver.cancel()
        filesystem.cancelOperation()
    }

    function askClear() {
        clearQuestion.createObject(screen, { question: LogFiles.eraseQuestion(sessions.length, unsavedCount(), scanFinished) })
                     .open()
    }

    function clearFiles() {
        if (!LogFiles.clearEnabled(status, clearing))
            return
        filesystem.cancelOperation()
        clearProgress = 0
        clearRequestId = firmware.sendFlashCreate()
        clearing = clearRequestId !== 0
    }

    Connections {
        target: screen.firmware
        function onRecvFlashCreateProgress(percent) { screen.clearProgress = percent }
        function onRecvFlashCreateResult(requestId, createStatus) {
            if (!screen.clearing)
                return
            screen.clearing = false
            var m = LogFiles.createResult(createStatus)
            screen.message(m[0], m[1])
            if (screen.StackView.view)
                screen.StackView.view.pop()
        }
        function onPacketFinished(requestId, outcome) {
            if (screen.clearing && requestId === screen.clearRequestId && outcome !== TarrowindFirmware.PacketOutcome_Handled) {
                screen.clearing = false
                screen.message(-1, "Device reported a flash hardware or communication error during filesystem initialization.")
            }
        }
    }

    // Back from a viewer opened here: whatever it was still downloading is of no use now.
    StackView.onActivated: sessionSaver.cancelOpen()

    // The arguments besides the session only make the binding follow the records and the times.
    function savedPath(session, revision, dates) {
        return serial !== "" ? sessionRegistry.savedPath(serial, session) : ""
    }

    Component.onCompleted: if (ready) holdLogger(true)
    Component.onDestruction: {
        sessionSaver.cancel()
        filesystem.cancelOperation()
        if (ready && lockWritten)
            holdLogger(false)
    }

    // Erasing the logger's filesystem loses every session on it for good: ask first, and say
    // how much would be lost. Made for each asking, like the window's questions, so that no
    // hidden copy of the question lingers.
    Component {
        id: clearQuestion
        ConfirmDialog {
            objectName: "clearFilesDialog"
            title: "Clear Files"
            goText: "Erase"
            stayText: "Cancel"
            onGo: screen.clearFiles()
            onClosed: destroy()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16 * screen.pixelScale
        spacing: 10 * screen.pixelScale

        RowLayout {
            spacing: 10 * screen.pixelScale
            Button { objectName: "backButton"; text: "Back"; onClicked: globals.globalTrigger("screen.pop") }
            BusyIndicator {
                objectName: "filesystemBusy"
                running: LogFiles.busy(screen.status)
                visible: running
                Layout.preferredHeight: 32 * screen.pixelScale
                Layout.preferredWidth: 32 * screen.pixelScale
            }
            ColumnLayout {
                Label {
                    objectName: "filesystemStatus"
                    textFormat: Text.PlainText
                    text: LogFiles.statusText(screen.status)
                    font.bold: true
                }
                Label {
                    objectName: "filesystemFull"
                    text: LogFiles.fullText(screen.status, screen.firmware.stats.flashPercentUsed)
                    visible: text !== ""
                }
            }
            Item { Layout.fillWidth: true }
            Button {
                objectName: "clearFilesButton"
                text: "Clear Files"
                enabled: screen.ready && !sessionSaver.batchRunning && LogFiles.clearEnabled(screen.status, screen.clearing)
                onClicked: screen.askClear()
            }
        }

        DownloadNewPanel {
            objectName: "downloadNew"
            pixelScale: screen.pixelScale
            saver: sessionSaver
            canStart: screen.ready && LogFiles.newDownloadEnabled(screen.status, screen.scanFinished, screen.serial)
            newCount: canStart && sessionRegistry.revision >= 0 ? sessionRegistry.newSessions(screen.serial, screen.sessions).length : 0
            Layout.fillWidth: true
        }

        ProgressBar {
            objectName: "clearProgress"
            visible: screen.clearing
            // The logger reports the progress as a fraction.
            from: 0
            to: 1
            value: screen.clearProgress
            Layout.fillWidth: true
        }

        ListView {
            id: list
            objectName: "sessionList"
            model: screen.sessions
            clip: true
            spacing: 4 * screen.pixelScale
            Layout.fillWidth: true
            Layout.fillHeight: true
            ScrollBar.vertical: ScrollBar {}
            delegate: SessionDelegate {
                width: list.width
                pixelScale: screen.pixelScale
                fileName: screen.fileName(modelData)
                dateText: modelData.dateString
                sizeText: LogFiles.sizeText(modelData.filesize)
                savedPath: screen.savedPath(modelData, sessionRegistry.revision, modelData.dateString)
                actionsEnabled: LogFiles.openEnabled(screen.status) && !sessionSaver.batchRunning
                onOpenRequested: screen.openSession(modelData)
                onSaveRequested: screen.saveSession(modelData)
            }
        }
    }
}
