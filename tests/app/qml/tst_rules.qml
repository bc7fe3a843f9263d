import QtQuick 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/SerialRules.js" as SerialRules
import "qrc:/CaptureRules.js" as CaptureRules
import "qrc:/ClockSync.js" as ClockSync
import "qrc:/AdapterRepair.js" as AdapterRepair
import "qrc:/WindowRules.js" as WindowRules
import "qrc:/MenuTree.js" as MenuTree
import "qrc:/Navigation.js" as Navigation
import "qrc:/SerialStatus.js" as SerialStatus

// The decisions the window and the shared state take, as tables.
TestCase {
    name: "Rules"

    readonly property var ports: ({
        "/dev/ttyS0": { autodetectedTarrowind: false },
        "/dev/ttyUSB1": { autodetectedTarrowind: true, eepromFixNeeded: false },
        "/dev/ttyUSB2": { autodetectedTarrowind: true }
    })

    function test_autoInAnyCase() {
        for (var port of ["AUTO", "auto", "Auto", "aUtO", ""])
            verify(SerialRules.isAuto(port), port)
        for (var other of [" ", "AUTO ", " auto", "autodetect", "/dev/auto", null, undefined, 0])
            verify(!SerialRules.isAuto(other), String(other))
    }

    // How the data source and a pending repair close the port is checked on the shared state
    // (tst_globals.qml); these are the port choice's own edges.
    function test_serialPortBinding_data() {
        return [
            { tag: "serial, auto picks first detected", source: "Serial", repair: false, setting: "auto", ports: ports, want: "/dev/ttyUSB1" },
            { tag: "serial, auto with nothing detected", source: "Serial", repair: false, setting: "AUTO", ports: { "/dev/ttyS0": {} }, want: "" },
            { tag: "serial, auto before any enumeration", source: "Serial", repair: false, setting: "Auto", ports: null, want: "" },
            { tag: "serial, empty setting searches as auto", source: "Serial", repair: false, setting: "", ports: ports, want: "/dev/ttyUSB1" },
            { tag: "setting of the wrong kind", source: "Serial", repair: false, setting: 42, ports: ports, want: "" }
        ]
    }
    function test_serialPortBinding(row) {
        compare(SerialRules.serialPortName(row.source, row.repair, row.setting, row.ports), row.want)
    }

    function test_portSearchRunsOnlyWhileLookingForAnAdapter() {
        var looking = { dataSource: "Serial", enumerating: false, repairPending: false, portSetting: "auto",
                        firmwareReady: false, bootloaderActive: false }
        verify(SerialRules.shouldSearchPorts(looking))
        var blockers = { dataSource: "Recording Playback", enumerating: true, repairPending: true,
                         portSetting: "/dev/ttyUSB0", firmwareReady: true, bootloaderActive: true }
        for (var key in blockers) {
            var s = JSON.parse(JSON.stringify(looking))
            s[key] = blockers[key]
            verify(!SerialRules.shouldSearchPorts(s), key)
        }
        looking.portSetting = ""
        verify(SerialRules.shouldSearchPorts(looking))
        looking.dataSource = "None"
        verify(!SerialRules.shouldSearchPorts(looking))
    }

    function test_portOnTheCommandLine() {
        compare(SerialRules.commandLinePort(["prog", "--port", "/tmp/pty"]), "/tmp/pty")
        compare(SerialRules.commandLinePort(["prog", "-x", "--port=/dev/ttyUSB3", "more"]), "/dev/ttyUSB3")
        compare(SerialRules.commandLinePort(["prog", "--port"]), "")
        compare(SerialRules.commandLinePort(["--port", "/tmp/programName"]), "")
        compare(SerialRules.commandLinePort(["prog", "stray", "args"]), "")
        compare(SerialRules.commandLinePort(undefined), "")
    }

    function test_captureName() {
        compare(CaptureRules.captureFileName("Bldg 7: meter.2", "2031-04-05T06:07:08"),
                "Capture_Bldg_7__meter_2_2031-04-05T06_07_08.csv")
        compare(CaptureRules.captureFileName("tab\there", "2031-04-05T06:07:08.123+02:00"),
                "Capture_tab_here_2031-04-05T06_07_08_123+02_00.csv")
        compare(CaptureRules.captureFileName("", "2031-04-05T06:07:08"), "Capture_2031-04-05T06_07_08.csv")
        compare(CaptureRules.joinPath("/data/logs/", "a.csv"), "/data/logs/a.csv")
        compare(CaptureRules.joinPath("C:\\logs", "a.csv"), "C:\\logs/a.csv")
    }

    function clockCase(overrides) {
        var s = { blocked: false, ready: true, mode: "Always", uniqueId: "A1", lastSyncId: "", lastSyncMs: -1,
                  nowMs: 100000, skewMs: 0, askSeconds: 1800 }
        for (var k in overrides)
            s[k] = overrides[k]
        return ClockSync.decide(s)
    }
    function test_clockSyncModes() {
        compare(clockCase({}), "sync")
        compare(clockCase({ mode: "Never", skewMs: 1e9 }), "none")
        compare(clockCase({ mode: "Ask", skewMs: -1799999 }), "sync")
        compare(clockCase({ mode: "Ask", skewMs: 1800000 }), "ask")
        compare(clockCase({ mode: "Ask", skewMs: -7200000 }), "ask")
        compare(clockCase({ mode: "Ask", skewMs: NaN }), "ask")
        compare(clockCase({ blocked: true }), "none")
        compare(clockCase({ ready: false }), "none")
        // The same device just synchronised is left alone; another device, or later, is not.
        compare(clockCase({ lastSyncId: "A1", lastSyncMs: 95001 }), "none")
        compare(clockCase({ lastSyncId: "A1", lastSyncMs: 95000 }), "sync")
        compare(clockCase({ lastSyncId: "B2", lastSyncMs: 99999 }), "sync")
        compare(clockCase({ mode: "bogus" }), "none")
    }

    // The approved sequence runs through the shared state in tst_globals.qml.
    function test_repairDeclinedPendingAndUnknownPorts() {
        var s = AdapterRepair.initialState()
        var r = AdapterRepair.onConnectionReady(s, "/dev/ttyUSB1", { eepromFixNeeded: true, serialNumber: "S1" })
        verify(r.askEeprom)
        compare(AdapterRepair.actionWhenPortIdle(r.state), "", "waits for the answer")
        verify(!AdapterRepair.onConnectionReady(r.state, "/dev/ttyUSB2", { eepromFixNeeded: true }).askEeprom,
               "nothing more while one repair is pending")
        s = AdapterRepair.denyEeprom(r.state)
        verify(!AdapterRepair.pending(s))
        compare(AdapterRepair.actionWhenPortIdle(AdapterRepair.approveEeprom(s)), "", "no approval without a port")
        verify(!AdapterRepair.onConnectionReady(s, "/dev/ttyUSB1", { eepromFixNeeded: true }).askEeprom,
               "a declined update is not offered again")
        verify(!AdapterRepair.pending(AdapterRepair.onConnectionReady(s, "/dev/x", undefined).state))
        verify(!AdapterRepair.pending(AdapterRepair.onConnectionReady(s, "/dev/y", { elevatedFixPath: "" }).state))
        verify(!AdapterRepair.pending(AdapterRepair.onConnectionReady(s, "/dev/z", { elevatedFixPath: 7 }).state))
    }

    function test_pixelScale() {
        compare(WindowRules.pixelScale(undefined), 1.0)
        compare(WindowRules.pixelScale(NaN), 1.0)
        compare(WindowRules.pixelScale(Infinity), 1.0)
        compare(WindowRules.pixelScale(0.0009), 1.0)
        compare(WindowRules.pixelScale(3.0), 1.0)
        compare(WindowRules.pixelScale(8.0), 2.5)
    }

    function test_quitAndLeaveQuestions() {
        var firmware = "A firmware update is in progress. Quitting now leaves the logger in its bootloader."
        var clear = "The logger's flash is being cleared. Quitting now can leave it unreadable until it is cleared again."
        var download = "A download is in progress. Quitting now loses it."
        var q = WindowRules.quitQuestion
        compare([q([]), q(undefined), q(["", ""]), q(["export"])], ["", "", "", ""])
        compare([q(["download"]), q(["clear"]), q(["download", "firmware"]), q(["download", "clear"])],
                [download, clear, firmware, clear])
        // The flash tool cannot be left while it writes; clearing and idle screens are left at once.
        compare(["download", "firmware", "clear", "", undefined].map(WindowRules.leaveQuestion),
                ["A download is in progress. Leave and cancel it?", "", "", "", ""])
    }

    function test_windowTitle() {
        compare(WindowRules.windowTitle("Tarrowind Utility", "0.9.86", undefined), "Tarrowind Utility v0.9.86")
        compare(WindowRules.windowTitle("Tarrowind Utility", "0.9.86", ""), "Tarrowind Utility v0.9.86")
        compare(WindowRules.windowTitle("Tarrowind Utility", "0.9.86", "Viewing Log: a.rlog"),
                "Tarrowind Utility v0.9.86 - Viewing Log: a.rlog")
    }

    function test_supportBundleName() {
        // 23:59:59 on the last day of a year in UTC, whatever the local zone says.
        compare(WindowRules.supportBundleName(new Date(Date.UTC(2026, 11, 31, 23, 59, 59))),
                "TarrowindSupport_20261231_235959Z.zip")
        compare(WindowRules.supportBundleName(new Date(Date.UTC(2027, 0, 2, 3, 4, 5))),
                "TarrowindSupport_20270102_030405Z.zip")
    }

    function texts(items) {
        return items.map(function (i) { return i.text + (i.trigger ? "=" + i.trigger : "") })
    }
    function test_mnemonics_data() {
        return [
            { tag: "first letter", text: "&Flash Tool", want: "f" },
            { tag: "inside a word, lower case", text: "S&tats", want: "t" },
            { tag: "upper case letter", text: "Sto&P", want: "p" },
            { tag: "none marked", text: "Save Support Bundle...", want: "" },
            { tag: "doubled ampersand is a plain one", text: "Stop && Save", want: "" },
            { tag: "mark after a literal ampersand", text: "A && &B", want: "b" },
            { tag: "ampersand at the end", text: "Tail&", want: "" },
            { tag: "not a string", text: undefined, want: "" }
        ]
    }
    function test_mnemonics(row) {
        compare(MenuTree.mnemonicOf(row.text), row.want)
    }

    function test_menus() {
        var basic = MenuTree.menuList(false, false, null)
        compare(texts(basic), ["&File", "&Logger", "&Help"])
        compare(texts(basic[2].children), ["Save Support Bundle...=help.supportbundle", "&About=help.about"])
        compare(Navigation.route("help.supportbundle").action, "saveSupportBundle")
        compare(texts(basic[1].children), ["&Variables=logger.variables", "&Flash Tool=logger.flashutility"])

        var advanced = MenuTree.menuList(true, false, [{ text: "&Algorithm", children: [] }])
        compare(texts(advanced), ["&File", "&Logger", "&Capture", "&Algorithm", "&Help"])
        compare(texts(advanced[1].children),
                ["&Variables=logger.variables", "S&tats=logger.stats", "&Flash Tool=logger.flashutility"])
        compare(texts(advanced[2].children), ["Sta&rt=capture.startstop", "A&bort=capture.abort"])
        compare(advanced[2].children[1].enabled, false)

        var capturing = MenuTree.menuList(true, true, [])
        compare(capturing[2].children[0].text, "Sto&p and Save")
        compare(capturing[2].children[1].enabled, true)
    }

    // The flash tool takes the logger into its bootloader at once: the backup offer comes
    // first, and only while the firmware answers; the offer's own way on does not ask again.
    function test_backupOfferedBeforeTheFlashTool() {
        var flash = Navigation.route("logger.flashutility")
        compare(Navigation.offerBefore(flash, true), "FlashBackupOffer.qml")
        compare(Navigation.offerBefore(flash, false), "")
        var now = Navigation.route("logger.flashutility.now")
        compare(now.document, flash.document)
        compare(Navigation.offerBefore(now, true), "")
        compare(Navigation.offerBefore(Navigation.route("logger.variables"), true), "")
    }

    function statusOf(overrides) {
        var s = { repairPending: false, portCount: 2, portName: "/dev/ttyUSB0", portSetting: "auto", deviceOpen: true,
                  lastError: "", lastPortError: "", wantsFirmware: true,
                  firmwareState: TarrowindFirmware.ConnectionState_Ready, bootloaderState: StmBootLoader.State_NoDevice,
                  bootloaderError: StmBootLoader.Error_None, bootloaderErrorText: "", screenWantsBootloader: false }
        for (var k in overrides)
            s[k] = overrides[k]
        var r = SerialStatus.status(s)
        return r.state + ":" + r.title + (r.info ? ":" + r.info : "")
    }
    function test_connectionStatus() {
        compare(statusOf({}), "good:Logger Connected")
        compare(statusOf({ repairPending: true, portName: "" }), "uncertain:Connection Disabled:Port closed pending update")
        // A port given by path is open although the enumeration knows no adapters.
        compare(statusOf({ portCount: 0 }), "good:Logger Connected")
        compare(statusOf({ portCount: 0, deviceOpen: false, portName: "" }), "error:No Ports or Adapters Found")
        compare(statusOf({ deviceOpen: false, portName: "" }), "error:No Tarrowind adapter detected")
        compare(statusOf({ deviceOpen: false, portName: "", portSetting: "" }), "error:No Tarrowind adapter detected")
        compare(statusOf({ deviceOpen: false, portName: "", portSetting: "/dev/ttyS0" }), "error:Connection Disabled")
        compare(statusOf({ deviceOpen: false, lastError: "Could not open", lastPortError: "No such file" }),
                "error:Serial Error:Could not open<br>(No such file)")
        compare(statusOf({ firmwareState: TarrowindFirmware.ConnectionState_QueryingInfo }), "uncertain:Logger Connecting")
        compare(statusOf({ firmwareState: TarrowindFirmware.ConnectionState_Unconnected }),
                "uncertain:Logger Not Connected:Searching for device...")
        compare(statusOf({ firmwareState: TarrowindFirmware.ConnectionState_Unconnected, silentLong: true, baud: 115200 }),
                "uncertain:Logger Not Connected:Searching for device...<br>No answer from the logger at 115200 baud; retrying")
        var boot = { wantsFirmware: false, screenWantsBootloader: true, bootloaderState: StmBootLoader.State_Ready }
        compare(statusOf(boot), "good:Logger in bootloader")
        boot.screenWantsBootloader = false
        compare(statusOf(boot), "uncertain:Logger in bootloader")
        boot.bootloaderState = StmBootLoader.State_Busy
        compare(statusOf(boot), "uncertain:Logger Busy")
        boot.bootloaderError = StmBootLoader.Error_Checksum
        boot.bootloaderErrorText = "Verify failed"
        compare(statusOf(boot), "error:Logger bootloader error:Verify failed")
        // A port's error text is shown as written next to the status line's own line break.
        compare(statusOf({ lastError: "Could not open <img src=x>", lastPortError: "A & B" }),
                "error:Serial Error:Could not open &lt;img src=x&gt;<br>(A &amp; B)")
        compare(SerialStatus.serialNumberText("TW-0042"), "Tarrowind 3X #TW-0042")
        compare(SerialStatus.serialNumberText(""), "")
    }
}
