import QtQuick 2.15
import "SettingsRules.js" as SettingsRules

// The user's settings. Object-valued settings are replaced as a whole (setField) so that every
// change is announced and saved.
QtObject {
    id: settings
    objectName: "settings"

    // Where the folder defaults point; the owner binds them to the host's standard folders.
    property string defaultLogFolder: ""
    property string defaultFlashFolder: ""
    property bool factoryBuild: false

    property string dataSource: "Serial"
    property bool advanced: false
    property bool showLog: false
    property string temperatureUnit: "Fahrenheit"
    property string volumeUnit: "Gallons"
    property string autoClockSyncMode: factoryBuild ? "Never" : "Always"
    property real autoClockSyncAskSeconds: 1800
    property bool onlineFirmwareCheck: true
    property string firmwareArchive: "https://www.ombrellix.example/archive/firmware/"
    property var serialSettings: ({ port: "", baud: 115200 })
    property var recordingSettings: ({ filename: "", playbackRate: 400, forceRate: false })
    property var logSettings: ({ folder: defaultLogFolder })
    property var flashSettings: ({ folder: defaultFlashFolder })
    // The library of saved logs; empty for the one in the data folder.
    property string libraryFile: ""
    // The team's shared archive (postgresql://...); empty for none. Never a password.
    property string archiveAddress: ""
    // The export dialog opens with the format last exported.
    property int exportFormat: 1

    signal settingsChanged()

    readonly property var keys: ["dataSource", "advanced", "showLog", "temperatureUnit", "volumeUnit",
        "autoClockSyncMode", "autoClockSyncAskSeconds", "onlineFirmwareCheck", "firmwareArchive", "serialSettings",
        "recordingSettings", "logSettings", "flashSettings", "libraryFile",
        "archiveAddress", "exportFormat"]

    function defaults() {
        return {
            dataSource: "Serial",
            advanced: false,
            showLog: false,
            temperatureUnit: "Fahrenheit",
            volumeUnit: "Gallons",
            autoClockSyncMode: factoryBuild ? "Never" : "Always",
            autoClockSyncAskSeconds: 1800,
            onlineFirmwareCheck: true,
            firmwareArchive: "https://www.ombrellix.example/archive/firmware/",
            serialSettings: { port: "", baud: 115200 },
            recordingSettings: { filename: "", playbackRate: 400, forceRate: false },
            logSettings: { folder: defaultLogFolder },
            flashSettings: { folder: defaultFlashFolder },
            libraryFile: "",
            archiveAddress: "",
            exportFormat: 1
        }
    }

    function reset() {
        var d = defaults()
        for (var i = 0; i < keys.length; ++i)
            settings[keys[i]] = d[keys[i]]
    }

    // Takes every key `other` has (a plain object or another settings object) whose value is
    // of the kind the key holds.
    function copy(other) {
        if (!other || typeof other !== "object")
            return
        var d = defaults()
        for (var i = 0; i < keys.length; ++i) {
            var key = keys[i]
            var value = SettingsRules.acceptedValue(d[key], settings[key], other[key])
            if (value !== undefined)
                settings[key] = value
        }
    }

    // Changes one field of an object-valued setting.
    function setField(key, field, value) {
        var next = JSON.parse(JSON.stringify(settings[key]))
        next[field] = value
        settings[key] = next
    }

    function toObject() {
        var o = {}
        for (var i = 0; i < keys.length; ++i)
            o[keys[i]] = settings[keys[i]]
        return o
    }

    function toJson() {
        return JSON.stringify(toObject())
    }

    onDataSourceChanged: settingsChanged()
    onAdvancedChanged: settingsChanged()
    onShowLogChanged: settingsChanged()
    onTemperatureUnitChanged: settingsChanged()
    onVolumeUnitChanged: settingsChanged()
    onAutoClockSyncModeChanged: settingsChanged()
    onAutoClockSyncAskSecondsChanged: settingsChanged()
    onOnlineFirmwareCheckChanged: settingsChanged()
    onFirmwareArchiveChanged: settingsChanged()
    onSerialSettingsChanged: settingsChanged()
    onRecordingSettingsChanged: settingsChanged()
    onLogSettingsChanged: settingsChanged()
    onFlashSettingsChanged: settingsChanged()
    onLibraryFileChanged: settingsChanged()
    onArchiveAddressChanged: settingsChanged()
}
