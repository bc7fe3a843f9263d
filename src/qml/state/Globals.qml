import QtQuick 2.15
import localdev 1.0
import "SerialRules.js" as SerialRules
import "CaptureRules.js" as CaptureRules
import "ClockSync.js" as ClockSync
import "AdapterRepair.js" as AdapterRepair
import "WindowRules.js" as WindowRules

// Every long-lived object of the program and how they are wired. The connection manager's
// bindings below are the only place a serial connection is configured.
Item {
    id: globals
    visible: false

    // The host services (the `runtime` object); tests hand in their own.
    property QtObject host: runtime
    // A port given on the command line replaces the stored one for this run, until the user
    // chooses another.
    property string portOverride: SerialRules.commandLinePort(Qt.application.arguments)

    readonly property Settings settings: Settings {
        defaultLogFolder: globals.host ? globals.host.defaultLogFolder() : ""
        defaultFlashFolder: globals.host ? globals.host.defaultFlashFolder() : ""
        factoryBuild: globals.host ? globals.host.isFactoryBuild === true : false
    }
    readonly property Storage storage: Storage {}
    readonly property SerialComm serialComm: SerialComm {
        serialPort: SerialRules.serialPortName(globals.settings.dataSource, globals.closeSerialPortForUpdate,
                                               globals.portSetting, globals.host ? globals.host.serialPorts : null)
        baud: 115200
        parity: globals.tarrowindLogger.currentOperatingMode === TarrowindLogger.OperatingMode_Firmware
                ? MlSerialPort.NoParity : MlSerialPort.EvenParity
        assertRts: globals.tarrowindLogger.targetOperatingMode === TarrowindLogger.OperatingMode_Bootloader
        onOpeningChanged: globals.runPendingRepair()
    }
    readonly property TarrowindLogger tarrowindLogger: TarrowindLogger {
        ioDeviceFactory: globals.serialComm
        firmware.targetBaud: globals.settings.serialSettings.baud
    }
    readonly property WrappedEllipticalDecider ellipticalDecider: WrappedEllipticalDecider {
        autoCalibrate: globals.settings.dataSource !== "Serial"
    }
    readonly property FileRecording fileRecording: FileRecording {}
    // The recording to play, loaded whenever playback is the source and the name changes.
    readonly property string playbackFileName: settings.dataSource === "Recording Playback"
                                               ? settings.recordingSettings.filename : ""
    onPlaybackFileNameChanged: {
        if (playbackFileName !== "")
            fileRecording.load(playbackFileName)
    }
    readonly property RecordingPlayback recordingPlayback: RecordingPlayback {
        recording: globals.fileRecording
        targetHz: globals.settings.recordingSettings.playbackRate
        overrideRecordedRate: globals.settings.recordingSettings.forceRate
    }
    readonly property FileRecording captureFileRecording: FileRecording {}
    readonly property LocalMagnetometer localMagnetometer: LocalMagnetometer {
        enabled: globals.settings.dataSource === "Local Magnetometer"
    }
    readonly property PulseLog pulseLog: PulseLog {}
    // Every saved log goes to the library too, off this thread.
    readonly property LibraryService library: LibraryService {
        setting: globals.settings.libraryFile
        archiveSetting: globals.settings.archiveAddress
        onArchiveMessage: globals.globalMessage(positivity, text)
        onAdded: if (!ok) globals.globalMessage(-1, "Not added to the library: " + message)
    }
    readonly property FirmwareMeta onlineFirmwareMeta: FirmwareMeta {}
    readonly property FirmwareDownloader firmwareDownloader: FirmwareDownloader {
        firmwareMeta: globals.onlineFirmwareMeta
        archiveAddress: globals.settings.firmwareArchive
    }

    readonly property string portSetting: portOverride !== "" ? portOverride : settings.serialSettings.port
    readonly property QtObject dataSource: {
        switch (settings.dataSource) {
        case "Serial": return tarrowindLogger.firmware
        case "Recording Playback": return recordingPlayback
        case "Local Magnetometer": return localMagnetometer
        }
        return null
    }
    readonly property bool firmwareReady:
        tarrowindLogger.firmware.connectionState === TarrowindFirmware.ConnectionState_Ready

    readonly property real pixelScale: {
        var screens = Qt.application.screens
        return WindowRules.pixelScale(screens && screens.length > 0 ? screens[0].pixelDensity : undefined)
    }

    readonly property alias pointsProcessed: sampleFlow.pointsProcessed
    readonly property alias pointsPerSecond: sampleFlow.pointsPerSecond
    readonly property alias pulsesPerSecond: sampleFlow.pulsesPerSecond
    readonly property alias instantaneousPulsesPerSecond: sampleFlow.instantaneousPulsesPerSecond

    property bool capturing: false
    property date captureStartTime

    property bool blockAutoClockSync: false
    property string lastSyncId: ""
    property real lastSyncTime: -1

    property var repairState: AdapterRepair.initialState()
    readonly property var elevatedFixAsked: repairState.elevatedFixAsked
    readonly property string elevatedFixPathToFix: repairState.elevatedFixPathToFix
    readonly property var eepromFixAsked: repairState.eepromFixAsked
    readonly property string eepromPortToUpdate: repairState.eepromPortToUpdate
    readonly property string eepromSerialToUpdate: repairState.eepromSerialToUpdate
    readonly property bool closeSerialPortForUpdate: AdapterRepair.pending(repairState)

    // Settings are written only once the stored ones were read, so start-up defaults never
    // replace them.
    property bool __prvReady: false

    signal globalTrigger(string triggerId)
    signal globalMessage(int positivity, string message)

    function secondsNow() {
        return host ? host.secondsSinceStart() : Date.now() / 1000
    }

    function enterBootloader() {
        tarrowindLogger.targetOperatingMode = TarrowindLogger.OperatingMode_Bootloader
    }

    function exitBootloader() {
        tarrowindLogger.targetOperatingMode = TarrowindLogger.OperatingMode_Firmware
    }

    // ---- samples and pulses

    SampleFlow {
        id: sampleFlow
        source: globals.dataSource
        localMagnetometer: globals.localMagnetometer
        decider: globals.ellipticalDecider
        pulseLog: globals.pulseLog
        capture: globals.captureFileRecording
        capturing: globals.capturing
        host: globals.host
    }

    // ---- capture

    function toggleCapture() {
        if (!capturing) {
            captureFileRecording.clear()
            captureStartTime = new Date()
            capturing = true
            return
        }
        capturing = false
        if (captureFileRecording.sampleCount < 1)
            return
        captureFileRecording.shiftToTimeZero()
        var name = CaptureRules.captureFileName(tarrowindLogger.firmware.deviceName,
                                                Qt.formatDateTime(captureStartTime, Qt.ISODate))
        var path = CaptureRules.joinPath(settings.logSettings.folder, name)
        if (host && host.findUnusedFileName)
            path = host.findUnusedFileName(path)
        if (path !== "" && captureFileRecording.save(path))
            globalMessage(1, "Capture saved to " + path)
        else
            globalMessage(-1, "Failure saving Capture to " + (path !== "" ? path : name))
    }

    function abortCapture() {
        captureFileRecording.clear()
        capturing = false
        globalMessage(0, "Capture aborted")
    }

    onGlobalTrigger: {
        if (triggerId === "capture.startstop")
            toggleCapture()
        else if (triggerId === "capture.abort")
            abortCapture()
    }

    // ---- automatic port search

    readonly property bool searchingPorts: host !== null && SerialRules.shouldSearchPorts({
        dataSource: settings.dataSource,
        enumerating: host.enumeratingSerialPorts === true,
        repairPending: closeSerialPortForUpdate,
        portSetting: portSetting,
        firmwareReady: firmwareReady,
        bootloaderActive: tarrowindLogger.bootloader.state === StmBootLoader.State_Ready
                          || tarrowindLogger.bootloader.state === StmBootLoader.State_Busy
    })

    Timer {
        interval: 400
        repeat: true
        running: globals.searchingPorts
        onTriggered: globals.host.enumerateSerialPorts()
    }

    // ---- clock

    function checkClockSynchronization() {
        var fw = tarrowindLogger.firmware
        var decision = ClockSync.decide({
            blocked: blockAutoClockSync,
            ready: firmwareReady,
            mode: settings.autoClockSyncMode,
            uniqueId: fw.uniqueId,
            lastSyncId: lastSyncId,
            lastSyncMs: lastSyncTime,
            nowMs: secondsNow() * 1000,
            skewMs: fw.skewMs,
            askSeconds: settings.autoClockSyncAskSeconds
        })
        if (decision === "sync")
            synchronizeClock()
        else if (decision === "ask")
            globalTrigger("action.asksync")
    }

    function synchronizeClock() {
        lastSyncId = tarrowindLogger.firmware.uniqueId
        lastSyncTime = secondsNow() * 1000
        tarrowindLogger.firmware.sendSetDateTime()
    }

    // ---- adapter repairs

    function onFirmwareReady() {
        var port = serialComm.serialPort
        var ports = host ? host.serialPorts : null
        var entry = ports ? ports[port] : undefined
        if (!entry) {
            console.log("No port info?")
        } else {
            console.log("connection on " + port + " " + JSON.stringify(entry))
            if (!closeSerialPortForUpdate) {
                var result = AdapterRepair.onConnectionReady(repairState, port, entry)
                repairState = result.state
                if (result.askEeprom)
                    globalTrigger("action.askeepromfix")
                // A port that is already closed never reports a change of its opening state.
                if (closeSerialPortForUpdate)
                    Qt.callLater(runPendingRepair)
            }
        }
        if (!closeSerialPortForUpdate)
            checkClockSynchronization()
    }

    function eepromFixApproved() {
        repairState = AdapterRepair.approveEeprom(repairState)
        runPendingRepair()
    }

    function eepromFixDenied() {
        repairState = AdapterRepair.denyEeprom(repairState)
    }

    // Runs a remembered repair once the port is closed.
    function runPendingRepair() {
        if (serialComm.ioDevice || serialComm.opening)
            return
        var action = AdapterRepair.actionWhenPortIdle(repairState)
        if (action === "eeprom") {
            var ok = host.updateEeprom(repairState.eepromPortToUpdate, repairState.eepromSerialToUpdate)
            repairState = AdapterRepair.eepromDone(repairState)
            globalTrigger(ok ? "action.showEepromSuccess" : "action.showEepromFailure")
        } else if (action === "elevated") {
            var fixed = host.elevatedFtdiFix(repairState.elevatedFixPathToFix)
            console.log(fixed ? "Elevated FTDI fix reported success" : "Elevated FTDI fix reported failure")
            repairState = AdapterRepair.elevatedDone(repairState)
            if (!fixed)
                globalTrigger("action.showRepairFailure")
        }
    }

    Connections {
        target: globals.tarrowindLogger.firmware
        function onConnectionStateChanged() {
            if (globals.firmwareReady)
                globals.onFirmwareReady()
        }
    }

    // ---- settings persistence and start-up

    function saveSettings() {
        if (!__prvReady)
            return
        var json = settings.toJson()
        console.log("Saving settings: " + json)
        storage.setItem("settings", settings.toObject())
    }

    Connections {
        target: globals.settings
        function onSettingsChanged() {
            if (globals.__prvReady)
                Qt.callLater(globals.saveSettings)
        }
        function onOnlineFirmwareCheckChanged() {
            if (globals.__prvReady && globals.settings.onlineFirmwareCheck
                    && globals.onlineFirmwareMeta.loadStatus !== FirmwareMeta.LoadStatus_Success
                    && !globals.firmwareDownloader.downloading)
                globals.firmwareDownloader.loadLatestFirmware()
        }
        function onSerialSettingsChanged() {
            if (globals.__prvReady)
                globals.portOverride = ""
        }
    }

    function loadSettings() {
        var stored = storage.getItem("settings")
        if (stored !== null && typeof stored === "object") {
            settings.copy(stored)
            console.log("Settings loaded and parsed: " + settings.toJson())
        } else {
            console.log("Settings defaulted: " + settings.toJson())
        }
        __prvReady = true
    }

    Component.onCompleted: {
        loadSettings()
        if (settings.onlineFirmwareCheck)
            firmwareDownloader.loadLatestFirmware()
    }
}
