import QtQuick 2.15
import QtQuick.LocalStorage 2.15
import QtTest 1.15
import "qrc:/"

TestCase {
    name: "Settings"

    Component {
        id: settingsComponent
        Settings {
            defaultLogFolder: "/home/u/Documents/TarrowindUtility"
            defaultFlashFolder: "/opt/tarrowind"
        }
    }
    Component {
        id: storageComponent
        Storage {}
    }

    readonly property var expectedDefaults: ({
        dataSource: "Serial", advanced: false, showLog: false, temperatureUnit: "Fahrenheit",
        volumeUnit: "Gallons", autoClockSyncMode: "Always", autoClockSyncAskSeconds: 1800,
        onlineFirmwareCheck: true, firmwareArchive: "https://www.ombrellix.example/archive/firmware/",
        serialSettings: { port: "", baud: 115200 },
        recordingSettings: { filename: "", playbackRate: 400, forceRate: false },
        logSettings: { folder: "/home/u/Documents/TarrowindUtility" },
        flashSettings: { folder: "/opt/tarrowind" }, libraryFile: "",
        archiveAddress: "", exportFormat: 1
    })

    function test_defaultsAndReset() {
        var s = createTemporaryObject(settingsComponent, this)
        compare(s.toObject(), expectedDefaults)
        var factory = createTemporaryObject(settingsComponent, this, { factoryBuild: true })
        compare(factory.autoClockSyncMode, "Never")

        var changes = createTemporaryObject(signalSpyComponent, this, { target: s, signalName: "settingsChanged" })
        s.copy({ dataSource: "None", advanced: true, showLog: true, temperatureUnit: "Celcius",
                 volumeUnit: "Liters", autoClockSyncMode: "Ask", autoClockSyncAskSeconds: 5,
                 onlineFirmwareCheck: false, firmwareArchive: "https://mirror.example/fw/",
                 serialSettings: { port: "COM4", baud: 460800 },
                 recordingSettings: { filename: "/r.csv", playbackRate: 100, forceRate: true },
                 logSettings: { folder: "/l" }, flashSettings: { folder: "/f" }, libraryFile: "/lib.sqlite",
                 archiveAddress: "postgresql://archive/fleet" })
        compare(changes.count, 15, "every key announces its change")
        s.reset()
        compare(s.toObject(), expectedDefaults)
        compare(changes.count, 30)
    }

    function test_copyTakesOnlyWellFormedValues() {
        var s = createTemporaryObject(settingsComponent, this)
        var source = { advanced: true, serialSettings: { port: "auto", baud: 9600, extra: 1 }, unknownKey: 3 }
        s.copy(source)
        compare(s.advanced, true)
        compare(s.serialSettings, { port: "auto", baud: 9600 })
        // Object values are copies: later edits of the source do not reach the settings.
        source.serialSettings.port = "COM9"
        compare(s.serialSettings.port, "auto")
        compare(s.dataSource, "Serial", "keys the source lacks stay")

        // Stored data of the wrong kind is ignored key by key, field by field.
        s.copy({ dataSource: 5, showLog: "yes", autoClockSyncAskSeconds: "12",
                 serialSettings: { port: 7, baud: 19200 }, recordingSettings: "x",
                 logSettings: null, flashSettings: [1, 2], volumeUnit: { a: 1 } })
        compare(s.dataSource, "Serial")
        compare(s.showLog, false)
        compare(s.autoClockSyncAskSeconds, 1800)
        compare(s.serialSettings, { port: "auto", baud: 19200 })
        compare(s.recordingSettings, expectedDefaults.recordingSettings)
        compare(s.logSettings, expectedDefaults.logSettings)
        compare(s.flashSettings, expectedDefaults.flashSettings)
        compare(s.volumeUnit, "Gallons")
        s.copy("not an object")
        s.copy(null)

        // From another settings object.
        var other = createTemporaryObject(settingsComponent, this)
        other.setField("recordingSettings", "playbackRate", 50)
        other.temperatureUnit = "Celcius"
        s.copy(other)
        compare(s.recordingSettings.playbackRate, 50)
        compare(s.temperatureUnit, "Celcius")
        compare(s.serialSettings, expectedDefaults.serialSettings)
    }

    function test_storageRoundTrip() {
        var storage = createTemporaryObject(storageComponent, this, { databaseName: "StorageTest" })
        verify(storage.clear())
        compare(storage.getItem("settings"), null)
        verify(storage.setItem("settings", { a: [1, "two", { three: 3 }], b: "\u00e4\"'" }))
        verify(storage.setItem("other", 5))
        compare(storage.getItem("settings"), { a: [1, "two", { three: 3 }], b: "\u00e4\"'" })
        verify(storage.setItem("settings", "replaced"))
        compare(storage.getItem("settings"), "replaced")
        compare(storage.getItem("other"), 5)

        // A row that is not JSON reads as missing.
        LocalStorage.openDatabaseSync("StorageTest", "1.0", "variables", 1000000).transaction(function (tx) {
            tx.executeSql("INSERT OR REPLACE INTO variable VALUES ('broken', '{not json')")
        })
        compare(storage.getItem("broken"), null)

        verify(storage.clear())
        compare(storage.getItem("other"), null)
    }

    Component {
        id: signalSpyComponent
        SignalSpy {}
    }
}
