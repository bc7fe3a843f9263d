import QtQuick 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/Formats.js" as Formats
import "qrc:/Units.js" as Units
import "qrc:/DeviceStatus.js" as DeviceStatus
import "qrc:/PortList.js" as PortList
import "qrc:/Variables.js" as Variables
import "qrc:/Stats.js" as Stats
import "qrc:/FlashRules.js" as FlashRules
import "qrc:/DeciderRules.js" as DeciderRules

// The screens' conversions and decisions, as tables.
TestCase {
    name: "ScreenRules"

    // Stands in for the host's US-English integer formatting.
    function grouped(n) {
        var s = String(n), out = ""
        for (var i = 0; i < s.length; ++i)
            out += (i > 0 && (s.length - i) % 3 === 0 ? "," : "") + s[i]
        return out
    }

    function test_durations_data() {
        var day = 86400, year = 365 * day
        return [
            { tag: "zero", s: 0, d: 1, long: "0.0 sec", short: "0 sec" },
            { tag: "rounding up carries into minutes", s: 119.97, d: 1, long: "2 min, 0.0 sec", short: "2 min, 0 sec" },
            { tag: "just under a minute", s: 59.4, d: 0, long: "59 sec", short: "59 sec" },
            { tag: "hour with zero minutes", s: 3600 + 5, d: 0, long: "1 hr, 5 sec", short: "1 hr, 0 min" },
            { tag: "days skip empty hours", s: 2 * day + 61, d: 0, long: "2 days, 1 min, 1 sec", short: "2 days, 0 hours" },
            { tag: "365 days are a year", s: year, d: 0, long: "1 years, 0 sec", short: "1 years, 0 days" },
            { tag: "large years grouped", s: 1234 * year + 3 * day + 7200, d: 2,
              long: "1,234 years, 3 days, 2 hr, 0.00 sec", short: "1,234 years, 3 days" },
            { tag: "negative skew", s: -(3 * 3600 + 4 * 60 + 5), d: 0, long: "-3 hr, 4 min, 5 sec", short: "-3 hr, 4 min" },
            { tag: "negative, rounding to nothing", s: -0.04, d: 1, long: "0.0 sec", short: "0 sec" }
        ]
    }
    function test_durations(row) {
        compare(Formats.longDuration(row.s, row.d, grouped), row.long)
        compare(Formats.shortDuration(row.s, grouped), row.short)
    }

    function test_badDurationsAndDates() {
        for (var bad of [NaN, Infinity, undefined, "12"]) {
            compare(Formats.longDuration(bad, 1), "")
            compare(Formats.shortDuration(bad), "")
        }
        compare(Formats.usDateTime(new Date(NaN)), "")
        compare(Formats.usDateTime(new Date(2031, 0, 5, 0, 7, 9)), "Jan 05, 2031 12:07:09 am")
        compare(Formats.usDateTime(new Date(2031, 11, 25, 12, 0, 0)), "Dec 25, 2031 12:00:00 pm")
        compare(Formats.usDateTime(new Date(2031, 6, 4, 23, 59, 59)), "Jul 04, 2031 11:59:59 pm")
    }

    function test_units() {
        // A reading in each unit converts to gallons and back unchanged.
        for (var name of Units.names())
            fuzzyCompare(Units.fromGallons(Units.toGallons(12.5, name), name), 12.5, 1e-9)
        fuzzyCompare(Units.toGallons(1, "CCF"), 100 * Units.toGallons(1, "CF"), 1e-6)
        fuzzyCompare(Units.toGallons(1000, "Liters"), Units.toGallons(1, "Cubic Meters"), 1e-6)
        verify(isNaN(Units.toGallons(1, "Barrels")))
        compare(Units.knownOrGallons("Liters"), "Liters")
        compare(Units.knownOrGallons("liters"), "Gallons")
        compare(Units.knownOrGallons(undefined), "Gallons")
    }

    function test_firmwareVersionAndUpdate() {
        compare(DeviceStatus.versionText(0, 1, 4468, ""), "0.1.4468")
        compare(DeviceStatus.versionText(1, 2, 3, "debug"), "1.2.3 (debug)")
        var device = { major: 0, minor: 1, patch: 4468 }
        var newer = [{ major: 0, minor: 1, patch: 4469 }, { major: 0, minor: 2, patch: 0 }, { major: 1, minor: 0, patch: 0 }]
        for (var n of newer) {
            n.loaded = true
            verify(DeviceStatus.updateAvailable(false, device, n), JSON.stringify(n))
            n.loaded = false
            verify(!DeviceStatus.updateAvailable(false, device, n), "not loaded " + JSON.stringify(n))
        }
        // Major before minor before patch level: a higher patch of an older minor is older.
        verify(!DeviceStatus.updateAvailable(false, device, { loaded: true, major: 0, minor: 0, patch: 9999 }))
        verify(!DeviceStatus.updateAvailable(false, device, { loaded: true, major: 0, minor: 1, patch: 4468 }))
        verify(DeviceStatus.updateAvailable(true, device, null))
    }

    function test_errorFlagsAndPicture() {
        compare(DeviceStatus.errorFlagsText(0), "")
        compare(DeviceStatus.errorFlagsText(1 | 4), "RTC Fault, Magnetometer Fault")
        compare(DeviceStatus.errorFlagsText(65536 | 2 | 8), "Flash Fault, RTC Uncalibrated")
        var model = Network.ModelType_Tarrowind3X
        compare(DeviceStatus.loggerPicture(true, model, 0), "img/halvacrest-r0.svg")
        compare(DeviceStatus.loggerPicture(true, model, 1), "img/halvacrest-r1.svg")
        compare(DeviceStatus.loggerPicture(false, model, 0), "img/halvacrest-r1.svg")
        compare(DeviceStatus.loggerPicture(true, Network.ModelType_Unset, 0), "img/halvacrest-r1.svg")
        compare(DeviceStatus.loggerDesaturation(true, model), 0)
        compare(DeviceStatus.loggerDesaturation(false, model), 0.75)
        compare(DeviceStatus.loggerDesaturation(true, Network.ModelType_Unset), 0.75)
        verify(DeviceStatus.showLoggerPicture(751, 1000))
        verify(!DeviceStatus.showLoggerPicture(750, 1000))
    }

    function test_portList() {
        var ports = {
            "/dev/ttyUSB1": { manufacturer: "FTDI", product: "Tarrowind Adapter", autodetectedTarrowind: true },
            "/dev/ttyS0": { manufacturer: "", product: "" },
            "/dev/ttyACM0": { manufacturer: "", product: "Modem" }
        }
        var list = PortList.entries(ports)
        compare(list, ["Auto", "/dev/ttyACM0 (Modem)", "/dev/ttyS0", "/dev/ttyUSB1 (FTDI Tarrowind Adapter) \u2605"])
        compare(PortList.entries(null), ["Auto"])
        for (var i = 1; i < list.length; ++i)
            compare(PortList.selectedIndex(list, PortList.storedValue(list[i])), i)
        compare(PortList.storedValue("Auto"), "Auto")
        compare(PortList.storedValue("  COM7 typed"), "COM7")
        compare(PortList.storedValue(""), "")
        compare(PortList.selectedIndex(list, ""), 0)
        compare(PortList.selectedIndex(list, "auto"), 0)
        compare(PortList.selectedIndex(list, "AUTO"), 0)
        compare(PortList.selectedIndex(list, "/dev/ttyUSB9"), -1)
        compare(PortList.selectedIndex(list, "/dev/ttyUSB"), -1)
    }

    function field(key) {
        for (var f of Variables.fields)
            if (f.key === key)
                return f
        return null
    }

    function test_variableEntries_data() {
        return [
            { tag: "ms lowest", key: "pulseDuration", entry: "0", want: 0 },
            { tag: "ms highest", key: "pulseDuration", entry: "655.35", want: 65535 },
            { tag: "ms above", key: "pulseDuration", entry: "655.36", want: null },
            { tag: "ms rounds", key: "pulseGap", entry: "0.29", want: 29 },
            { tag: "ms bare fraction", key: "pulseGap", entry: ".5", want: 50 },
            { tag: "ms negative", key: "pulseGap", entry: "-1", want: null },
            { tag: "ms empty", key: "pulseGap", entry: "", want: null },
            { tag: "ms comma", key: "pulseGap", entry: "1,5", want: null },
            { tag: "ms hex", key: "pulseGap", entry: "0x10", want: null },
            { tag: "divider lowest", key: "divider", entry: "1", want: 1 },
            { tag: "divider highest", key: "divider", entry: "100", want: 100 },
            { tag: "divider zero", key: "divider", entry: "0", want: null },
            { tag: "divider above", key: "divider", entry: "101", want: null },
            { tag: "divider fraction", key: "divider", entry: "2.5", want: null },
            { tag: "keepalive 16 bits", key: "keepalive", entry: "65535", want: 65535 },
            { tag: "keepalive beyond 16 bits", key: "keepalive", entry: "65536", want: null },
            { tag: "commit Auto", key: "commitMinutes", entry: "Auto", want: 0 },
            { tag: "commit auto any case", key: "commitMinutes", entry: " aUTO ", want: 0 },
            { tag: "commit empty", key: "commitMinutes", entry: "", want: 0 },
            { tag: "commit typo refused", key: "commitMinutes", entry: "soon", want: null },
            { tag: "commit unit refused", key: "commitMinutes", entry: "15min", want: null },
            { tag: "commit negative refused", key: "commitMinutes", entry: "-1", want: null },
            { tag: "commit fraction refused", key: "commitMinutes", entry: "1.5", want: null },
            { tag: "commit minutes", key: "commitMinutes", entry: " 15 ", want: 15 },
            { tag: "commit beyond 16 bits", key: "commitMinutes", entry: "70000", want: null },
            { tag: "choice", key: "pulseOut", entry: 1, want: 1 },
            { tag: "choice out of range", key: "pulseOut", entry: 5, want: null },
            { tag: "name 32 bytes", key: "deviceName", entry: "x".repeat(40), want: "x".repeat(32) },
            // 31 ASCII bytes and a two-byte letter: the letter does not fit and is not split.
            { tag: "name multibyte", key: "jobName", entry: "y".repeat(31) + "\u00e9z", want: "y".repeat(31) },
            { tag: "name emoji", key: "jobName", entry: "\ud83d\udca7".repeat(9), want: "\ud83d\udca7".repeat(8) }
        ]
    }
    function test_variableEntries(row) {
        compare(Variables.parsed(field(row.key), row.entry), row.want)
    }

    function test_variablesShownValuesReadBack() {
        // What a field shows for a stored value stores that value again (no false "*").
        var samples = { integer: [0, 1, 100, 65535], auto: [0, 1, 60, 65535], milliseconds: [0, 1, 29, 100, 65535],
                        choice: [0, 1], text: ["", "Virtual Logger", "z".repeat(32)] }
        for (var f of Variables.fields) {
            for (var v of samples[f.kind]) {
                if (f.kind === "integer" && (v < f.min || v > f.max))
                    continue
                compare(Variables.parsed(f, Variables.shown(f, v)), v, f.key + " " + v)
                verify(!Variables.differs(f, Variables.shown(f, v), v))
            }
        }
        compare(Variables.shown(field("commitMinutes"), 0), "Auto")
        compare(Variables.shown(field("pulseDuration"), 100), "1.00")
    }

    function test_variablesCommit() {
        var p16 = []
        for (var i = 0; i < 16; ++i)
            p16.push(1000 + i)
        var texts = ["old name", "old job"]
        var lists = Variables.commitLists({ deviceName: "New", pulseDuration: "2.5", commitMinutes: "Auto" }, p16, texts)
        compare(lists.persistentTexts, ["New", "old job"])
        compare(lists.persistents16[Network.PulseOutput_PulseMicros10], 250)
        compare(lists.persistents16[Network.FlashLogging_CommitMinutes], 0)
        var changed = 0
        for (var k = 0; k < 16; ++k)
            if (lists.persistents16[k] !== p16[k])
                ++changed
        compare(changed, 2)
        compare(p16[Network.PulseOutput_PulseMicros10], 1002, "the logger's list is left alone")
        compare(Variables.commitLists({ divider: "0", deviceName: "x" }, p16, texts), null)
    }

    function test_backupFileName() {
        compare(Variables.backupFileName("TW3X-083438", "8351"), "variables_TW3X-083438.json")
        compare(Variables.backupFileName("Nord: 7/b", ""), "variables_Nord__7_b.json")
        compare(Variables.backupFileName("", "8351362E"), "variables_8351362E.json")
        compare(Variables.backupFileName("", ""), "variables_logger.json")
    }

    function test_stats() {
        var rows = Stats.rows({ cpuFrequency: 320, zzFuture: 5, uptimeNanos: 90061.5e9, flashStatus: 1,
                                flashPercentUsed: 32768, genericErrorCount: 1234567, largestMagBacklog: 128,
                                lastClockSyncNanos: new Date(2031, 2, 4, 15, 6, 7).getTime() * 1e6 }, grouped)
        compare(rows.map(function (r) { return r.text }), [
            "genericErrorCount: 1,234,567", "uptime: 1 days, 1 hr, 1 min, 2 sec",
            "lastClockSync: Mar 04, 2031 3:06:07 pm", "largestMagBacklog: 128", "flashStatus: Mounted",
            "flashPercentUsed: 0.500", "cpuFrequency: 32.0 mhz", "zzFuture: 5"])
        compare(rows[0].verdict, "alert")
        compare(rows[3].verdict, "alert")
        compare(rows[4].verdict, "check")
        compare(Stats.verdict("largestMagBacklog", 127), "check")
        compare(Stats.verdict("genericErrorCount", 0), "check")
        compare(Stats.verdict("pulseCount", 5), "")
        var statuses = [0, 2, 3, 4, 5, -1, 1.5].map(Stats.flashStatusText)
        compare(statuses, ["Not mounted", "NotFound", "HwError", "Inconsistent", "Unknown", "Unknown", "Unknown"])
        compare(Stats.rows(null), [])
    }

    function test_flashChoices() {
        var FM = FirmwareMeta
        compare(FlashRules.loadStateText({ online: false, fileChosen: false, loadStatus: FM.LoadStatus_NoLoadAttempted }),
                "No firmware selected")
        compare(FlashRules.loadStateText({ online: false, fileChosen: true, loadStatus: FM.LoadStatus_ChecksumFailure }),
                "(Checksum failure)")
        compare(FlashRules.loadStateText({ online: true, downloading: true, loadStatus: FM.LoadStatus_Success }),
                "Downloading...")
        compare(FlashRules.loadStateText({ online: true, downloadError: "HTTP failure, check internet connection",
                                           loadStatus: FM.LoadStatus_NoLoadAttempted }),
                "Online firmware not available: HTTP failure, check internet connection")
        compare(FlashRules.versionText(FM.LoadStatus_Success, 0, 1, 4470, FM.MetaFlag_Debug, "nightly"),
                "Firmware: v0.1.4470-debug nightly")
        compare(FlashRules.versionText(FM.LoadStatus_Success, 2, 0, 1, 0, ""), "Firmware: v2.0.1")
        compare(FlashRules.versionText(FM.LoadStatus_ChecksumFailure, 2, 0, 1, 0, ""), "")
        verify(FlashRules.preselectOnline(false, FM.LoadStatus_Success, ""))
        verify(FlashRules.preselectOnline(true, FM.LoadStatus_NoLoadAttempted, ""))
        verify(!FlashRules.preselectOnline(false, FM.LoadStatus_ChecksumFailure, ""))
        // An archive that failed leaves the file as the way on; a good image stays first.
        verify(!FlashRules.preselectOnline(true, FM.LoadStatus_NoLoadAttempted, "Meta download failure: HTTP status 404"))
        verify(FlashRules.preselectOnline(true, FM.LoadStatus_Success, "HTTP failure, check internet connection"))
        compare([FlashRules.onlineAfterDownload(true, false, "x"), FlashRules.onlineAfterDownload(true, false, ""),
                 FlashRules.onlineAfterDownload(true, true, "x"), FlashRules.onlineAfterDownload(false, false, "")],
                [false, true, true, false])
        verify(!FlashRules.downloadOnChoosing(FM.LoadStatus_Success, false))
        verify(!FlashRules.downloadOnChoosing(FM.LoadStatus_ChecksumFailure, true))
        verify(FlashRules.downloadOnChoosing(FM.LoadStatus_ChecksumFailure, false))
    }

    function test_flashOnlyAVerifiedImageToAnIdleBootloader() {
        var BL = StmBootLoader, FM = FirmwareMeta
        var states = [BL.State_NoDevice, BL.State_Connecting, BL.State_Ready, BL.State_Busy]
        var statuses = [FM.LoadStatus_Success, FM.LoadStatus_IOError, FM.LoadStatus_BadMetaHeader,
                        FM.LoadStatus_ChecksumFailure, FM.LoadStatus_NoLoadAttempted]
        for (var s of states)
            for (var l of statuses)
                compare(FlashRules.mayFlash(s, l), s === BL.State_Ready && l === FM.LoadStatus_Success, s + "/" + l)
        compare(FlashRules.resultText(true, BL.Error_Checksum, "Too many verification failures"),
                "Flash failure: Too many verification failures")
        compare(FlashRules.resultState(true, BL.Error_Protocol), "error")
        compare(FlashRules.resultText(false, BL.Error_None, ""), "")
    }

    function test_deciderWindowAndHeader() {
        fuzzyCompare(DeciderRules.windowAfterWheel(10, -120), 11, 1e-9)
        fuzzyCompare(DeciderRules.windowAfterWheel(11, 120), 10, 1e-9)
        compare(DeciderRules.windowAfterWheel(10800, -1200), 10800)
        compare(DeciderRules.windowAfterWheel(1, 1200), 1)
        compare(DeciderRules.windowAfterWheel(NaN, 120), 10)
        compare(DeciderRules.header(3), "Ellipse Algo: Running (background learning)")
        compare(DeciderRules.header(9), "Ellipse Algo: Not Ready")
        verify(DeciderRules.relearnsLocally("Recording Playback") && !DeciderRules.relearnsLocally("Serial"))
    }
}
