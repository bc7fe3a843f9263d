import QtQuick 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/"

// The shared state's wiring: settings persistence, the port binding and search, capture and
// the adapter repairs, with the host's ports chosen by the test.
TestCase {
    name: "Globals"

    Component { id: hostComponent; FakeHost {} }
    Component { id: storageComponent; Storage {} }
    Component { id: spyComponent; SignalSpy {} }
    Component { id: globalsComponent; Globals {} }

    property var stored: null

    // Globals on a fresh database holding `settings`, without the online firmware check.
    function makeGlobals(settings, host, properties) {
        var storage = createTemporaryObject(storageComponent, this)
        storage.clear()
        settings.onlineFirmwareCheck = false
        storage.setItem("settings", settings)
        var props = properties || {}
        props.host = host
        return createTemporaryObject(globalsComponent, this, props)
    }

    function storedSettings() {
        return createTemporaryObject(storageComponent, this).getItem("settings")
    }

    // The documents call whatever the real host offers; a stand-in without it would turn a
    // test's path into a TypeError that no test looks at.
    function test_fakeHostHasEverythingOfTheRealOne() {
        compare(testSupport.missingFromHost(createTemporaryObject(hostComponent, this)), [])
    }

    function test_storedSettingsSurviveStartUp() {
        var host = createTemporaryObject(hostComponent, this)
        var g = makeGlobals({ dataSource: "None", serialSettings: { port: "/dev/stored", baud: 9600 } }, host)
        compare(g.settings.dataSource, "None")
        compare(g.settings.serialSettings, { port: "/dev/stored", baud: 9600 })
        compare(g.settings.logSettings.folder, "/nonexistent/logs")
        wait(100)
        compare(storedSettings(), { dataSource: "None", onlineFirmwareCheck: false,
                                    serialSettings: { port: "/dev/stored", baud: 9600 } },
                "nothing is written before the user changes something")
        g.settings.showLog = true
        tryVerify(function () { return storedSettings().showLog === true })
        var now = storedSettings()
        compare(now.dataSource, "None")
        compare(now.logSettings.folder, "/nonexistent/logs")
    }

    function test_portFollowsSourceSettingAndRepair() {
        var host = createTemporaryObject(hostComponent, this, { serialPorts: {
            "/dev/ttyS9": { autodetectedTarrowind: false },
            "/dev/twA": { autodetectedTarrowind: true } } })
        var g = makeGlobals({ serialSettings: { port: "auto", baud: 115200 } }, host)
        compare(g.serialComm.serialPort, "/dev/twA")
        verify(g.searchingPorts)
        tryVerify(function () { return host.enumerations >= 2 }, 5000)
        host.enumeratingSerialPorts = true
        verify(!g.searchingPorts, "one enumeration at a time")
        host.enumeratingSerialPorts = false

        for (var source of ["None", "Recording Playback", "Local Magnetometer"]) {
            g.settings.dataSource = source
            compare(g.serialComm.serialPort, "", source)
            verify(!g.searchingPorts, source)
        }
        g.settings.dataSource = "Serial"
        compare(g.serialComm.serialPort, "/dev/twA")
        g.settings.setField("serialSettings", "port", "/dev/ttyS9")
        compare(g.serialComm.serialPort, "/dev/ttyS9")
        verify(!g.searchingPorts, "a named port needs no search")
    }

    function test_commandLinePortIsNeverSaved() {
        var host = createTemporaryObject(hostComponent, this)
        var g = makeGlobals({ serialSettings: { port: "/dev/stored", baud: 115200 } }, host,
                            { portOverride: "/tmp/virtual-logger" })
        compare(g.serialComm.serialPort, "/tmp/virtual-logger")
        g.settings.advanced = true
        tryVerify(function () { return storedSettings().advanced === true })
        compare(storedSettings().serialSettings.port, "/dev/stored")
        // Choosing a port ends the override.
        g.settings.setField("serialSettings", "port", "/dev/chosen")
        compare(g.serialComm.serialPort, "/dev/chosen")
    }

    function test_capture() {
        var host = createTemporaryObject(hostComponent, this)
        var folder = testSupport.newFolder()
        var g = makeGlobals({ dataSource: "None", logSettings: { folder: folder } }, host)
        var messages = createTemporaryObject(spyComponent, this, { target: g, signalName: "globalMessage" })

        g.globalTrigger("capture.startstop")
        verify(g.capturing)
        g.globalTrigger("capture.startstop")
        verify(!g.capturing)
        compare(messages.count, 0, "an empty capture is not saved and says nothing")
        compare(testSupport.listFiles(folder), [])

        g.globalTrigger("capture.startstop")
        var source = folder + "/source.txt"
        testSupport.writeTextFile(source, "x,y,z,time\n1,2,3,100.5\n4,5,6,100.75\n")
        verify(g.captureFileRecording.load(source))
        var started = g.captureStartTime
        g.globalTrigger("capture.startstop")
        compare(messages.count, 1)
        var name = "Capture_" + Qt.formatDateTime(started, Qt.ISODate).replace(/:/g, "_") + ".csv"
        compare(messages.signalArguments[0][0], 1)
        compare(messages.signalArguments[0][1], "Capture saved to " + folder + "/" + name)
        var lines = testSupport.readTextFile(folder + "/" + name).split("\r\n")
        compare(lines[0], "x,y,z,time")
        compare(lines[1].split(",")[3], "0.000000000", "time stamps start at zero")
        compare(lines[2].split(",")[3], "0.250000000")

        g.globalTrigger("capture.startstop")
        g.globalTrigger("capture.abort")
        verify(!g.capturing)
        compare(messages.signalArguments[1][0], 0)
        compare(messages.signalArguments[1][1], "Capture aborted")
        compare(testSupport.listFiles(folder).length, 2)
    }

    function test_adapterRepairs() {
        var host = createTemporaryObject(hostComponent, this, { serialPorts: {
            "/dev/twfake": { autodetectedTarrowind: true, eepromFixNeeded: true, elevatedFixPath: "udev-rule",
                             serialNumber: "FT1" } } })
        var g = makeGlobals({ serialSettings: { port: "auto", baud: 115200 } }, host)
        var triggers = createTemporaryObject(spyComponent, this, { target: g, signalName: "globalTrigger" })
        compare(g.serialComm.serialPort, "/dev/twfake")

        g.onFirmwareReady()
        compare(triggers.count, 1)
        compare(triggers.signalArguments[0][0], "action.askeepromfix")
        verify(g.closeSerialPortForUpdate)
        compare(g.serialComm.serialPort, "", "the port closes while the user decides")
        tryVerify(function () { return !g.serialComm.opening && g.serialComm.ioDevice === null })
        compare(host.eepromCalls, [], "nothing runs before the user agrees")

        g.eepromFixApproved()
        tryCompare(host, "eepromCalls", ["/dev/twfake|FT1"])
        compare(triggers.signalArguments[1][0], "action.showEepromSuccess")
        verify(!g.closeSerialPortForUpdate)
        compare(g.serialComm.serialPort, "/dev/twfake")

        // The driver repair comes at the next ready connection, without a question; its
        // failure is shown, not only logged.
        host.elevatedResult = false
        g.onFirmwareReady()
        compare(g.elevatedFixPathToFix, "udev-rule")
        compare(g.serialComm.serialPort, "")
        tryCompare(host, "elevatedCalls", ["udev-rule"])
        verify(!g.closeSerialPortForUpdate)
        compare(triggers.signalArguments[2][0], "action.showRepairFailure")

        g.onFirmwareReady()
        verify(!g.closeSerialPortForUpdate)
        compare(triggers.count, 3, "each repair is offered once per port and run")
        compare(host.eepromCalls.length, 1)
        compare(host.elevatedCalls.length, 1)
    }

    // Counts and times of the 64-bit kinds are plain numbers in scripts.
    function test_wideIntegersAreNumbers() {
        var g = makeGlobals({ dataSource: "None" }, createTemporaryObject(hostComponent, this))
        g.pulseLog.addPulses(1780000000000000000, 3)
        g.pulseLog.addPulses(1780000010000000000, 4)
        compare(typeof g.pulseLog.totalPulseCount, "number")
        compare(g.pulseLog.totalPulseCount + 1, 8)
        compare(g.pulseLog.timeBinCount(10000) * 2, 4)
    }
}
