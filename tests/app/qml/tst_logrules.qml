import QtQuick 2.15
import QtTest 1.15
import "qrc:/LogFiles.js" as LogFiles
import "qrc:/ViewerRules.js" as ViewerRules
import "qrc:/ExportRules.js" as ExportRules
import "qrc:/MetaDataRules.js" as MetaDataRules

// The log screens' naming, unit, zoom and flow-rate decisions, as tables.
TestCase {
    name: "LogRules"

    function test_sessionFileNames_data() {
        return [
            { tag: "plain", dev: "Pump", idx: 7, name: "north", type: 1, out: "Pump_0007_north.rlog" },
            { tag: "colons dots blanks", dev: "A:b.c d\te", idx: 12, name: "job", type: 1, out: "A_b_c_d_e_0012_job.rlog" },
            { tag: "no device name", dev: "", idx: 3, name: "x", type: 1, out: "0003_x.rlog" },
            { tag: "unnamed session", dev: "D", idx: 0, name: "", type: 1, out: "D_0000_unnamed.rlog" },
            { tag: "index wider than four", dev: "D", idx: 123456, name: "s", type: 1, out: "D_123456_s.rlog" },
            { tag: "other file type", dev: "D", idx: 5, name: "s", type: 2, out: "D_0005_s.unknown" },
            { tag: "undefined device", dev: undefined, idx: 1, name: "s", type: 1, out: "0001_s.rlog" },
            // Hostile names from the logger: never a folder, never a device, never too long.
            { tag: "slash", dev: "North/Site", idx: 1, name: "s", type: 1, out: "North_Site_0001_s.rlog" },
            { tag: "climbing out", dev: "a/../../up", idx: 1, name: "../../etc", type: 1, out: "a_______up_0001_______etc.rlog" },
            { tag: "backslashes and drive", dev: "..\\..\\x:y", idx: 2, name: "C:\\t", type: 1, out: "______x_y_0002_C__t.rlog" },
            { tag: "wildcards quotes pipes", dev: "*?\"<>|", idx: 3, name: "a|b", type: 1, out: "_______0003_a_b.rlog" },
            { tag: "control characters", dev: "a\u0001b\u007f", idx: 4, name: "\u001b[2J", type: 1, out: "a_b__0004__[2J.rlog" },
            { tag: "reserved names any case", dev: "con", idx: 5, name: "LPT9", type: 1, out: "con__0005_LPT9_.rlog" },
            { tag: "not quite reserved", dev: "COM0", idx: 6, name: "CONSOLE", type: 1, out: "COM0_0006_CONSOLE.rlog" },
            { tag: "64 characters at most", dev: "d".repeat(70), idx: 7, name: "n".repeat(65), type: 1,
              out: "d".repeat(64) + "_0007_" + "n".repeat(64) + ".rlog" }
        ]
    }

    function test_sessionPaths() {
        compare(LogFiles.sessionPath("/tmp/logs/", "D_0001_s.rlog"), "/tmp/logs/D_0001_s.rlog")
        compare([LogFiles.sessionPath("/tmp/logs", "../D.rlog"), LogFiles.sessionPath("/tmp/logs", "sub/D.rlog"),
                 LogFiles.sessionPath("", "D.rlog")], ["", "", ""])
    }
    function test_sessionFileNames(row) {
        compare(LogFiles.sessionFileName(row.dev, row.idx, row.name, row.type), row.out)
    }

    function test_noReadingsMakeNoVolume() {
        var none = {}, both = { "Meter Reading Start": 0, "Meter Reading End": 250.5 }
        compare([ExportRules.readingText(none, "Meter Reading Start"), ExportRules.readingText(both, "Meter Reading Start")],
                ["", "0"])
        verify(!ExportRules.derive(0, "", "", "", 500).valid && !ExportRules.derive(1, "", "", "", 500).valid)
        var notice = "This log has no meter readings: enter them, or choose a known pulses-per-unit mode"
        compare([ExportRules.readingsNotice(0, none, false), ExportRules.readingsNotice(1, { "Meter Reading Start": 3 }, false)],
                [notice, notice])
        // Readings typed in, a known mode, readings in the log.
        compare([ExportRules.readingsNotice(0, none, true), ExportRules.readingsNotice(3, none, true),
                 ExportRules.readingsNotice(0, both, false)], ["", "", ""])
        // Only a value typed in is called invalid; a reading not there yet is the notice's business.
        var invalid = "Units per pulse is invalid!"
        compare([ExportRules.invalidText(0, "", "", "", false), ExportRules.invalidText(1, "12", " ", "", false),
                 ExportRules.invalidText(0, "12", "x", "", false), ExportRules.invalidText(0, "12", "5", "", true),
                 ExportRules.invalidText(3, "", "", "0", false), ExportRules.invalidText(2, "", "", "", false),
                 ExportRules.invalidText(2, "", "", "-1", false)],
                ["", "", invalid, "", invalid, "", "Pulses per unit is invalid!"])
        compare([ExportRules.shownNumber(NaN), ExportRules.shownNumber(Infinity), ExportRules.shownNumber(0.5)],
                ["", "", "0.5"])
        compare([ExportRules.storedFormat(undefined), ExportRules.storedFormat(7), ExportRules.storedFormat(8),
                 ExportRules.storedFormat(1.5), ExportRules.storedFormat(0)], [1, 7, 1, 1, 0])
    }

    // The bin under the pointer stays under it through a wheel zoom, with an axis margin of 70
    // left of the plot, wherever across the plot the pointer is.
    function test_wheelZoomKeepsTheBinUnderThePointer() {
        var n = 20000, binAt = function (view, x) { return view.left + (x - 70) / 700 * view.count }
        for (var x of [150, 420, 769]) {
            for (var amount of [0.5, -0.3]) {
                var r = ViewerRules.zoomBy(n, 4, 0.3, amount, ViewerRules.plotFraction(x, 70, 700))
                var before = binAt(ViewerRules.visibleBins(n, 4, 0.3), x), after = binAt(ViewerRules.visibleBins(n, r.zoom, r.centre), x)
                verify(Math.abs(after - before) <= 1, x + ": bin " + before + " moved to " + after)
            }
        }
        compare([ViewerRules.plotFraction(10, 70, 700), ViewerRules.plotFraction(900, 70, 700)], [0, 1])
    }

    function test_filesystemTexts() {
        compare(LogFiles.fullText(LogFiles.Mounted, 65535), "File system is 100.0% full.")
        compare(LogFiles.fullText(LogFiles.BusyScanning, 32768), "File system is 50.0% full.")
        compare(LogFiles.fullText(LogFiles.Unmounted, 100), "")
        compare(LogFiles.fullText(LogFiles.Errored, 100), "")
        compare(LogFiles.fullText(LogFiles.Mounted, undefined), "")
        compare(LogFiles.sizeText(1572864), "~1.5 MiB")
        compare(LogFiles.sizeText(-4), "~0.0 MiB")
        // Busy exactly in the four working states; clearing only while idle or broken.
        var busy = [], clear = [], open = []
        for (var s = 0; s <= 6; ++s) {
            busy.push(LogFiles.busy(s)); clear.push(LogFiles.clearEnabled(s, false)); open.push(LogFiles.openEnabled(s))
        }
        compare(busy, [false, false, true, true, true, true, false])
        compare(clear, [true, true, false, false, false, false, true])
        compare(open, [false, true, false, true, false, false, false])
        verify(!LogFiles.clearEnabled(LogFiles.Mounted, true))
        verify(LogFiles.scanDue(LogFiles.Mounted, false) && !LogFiles.scanDue(LogFiles.Mounted, true))
        compare(LogFiles.createResult(0), [1, "Filesytem initialized successfully"])
        compare(LogFiles.createResult(7)[0], -1)
    }

    function test_eraseQuestionNamesTheLoss() {
        var q = LogFiles.eraseQuestion(5, 2, true)
        verify(q.indexOf("5 sessions") >= 0 && q.indexOf("2 of them have never been saved") >= 0, q)
        verify(LogFiles.eraseQuestion(1, 1, true).indexOf("1 session ") >= 0)
        verify(LogFiles.eraseQuestion(3, 0, true).indexOf("all of them have been saved") >= 0)
        verify(LogFiles.eraseQuestion(0, 0, false).indexOf("not been listed") >= 0)
    }

    function test_binSeconds_data() {
        return [
            { tag: "zero", t: "0", s: 1 }, { tag: "text", t: "abc", s: 1 }, { tag: "empty", t: "", s: 1 },
            { tag: "negative", t: "-5", s: 1 }, { tag: "half", t: "0.5", s: 1 }, { tag: "ten", t: "10", s: 10 },
            { tag: "fraction above one", t: "2.5", s: 2.5 }, { tag: "blanks", t: " 60 ", s: 60 }
        ]
    }
    function test_binSeconds(row) {
        compare(ViewerRules.binSeconds(row.t), row.s)
        compare(ViewerRules.binMilliseconds(row.t), row.s * 1000)
    }

    function test_zoomStaysWithinLimits() {
        var n = 100000, z = 1, c = 0.5
        for (var i = 0; i < 200; ++i) {
            var r = ViewerRules.zoomBy(n, z, c, 0.4, 0.3)
            z = r.zoom; c = r.centre
            verify(z <= n / 100 + 1e-9 && c >= 0 && c <= 1)
        }
        compare(z, n / 100)
        compare(ViewerRules.visibleBins(n, z, c).count, 100)
        for (i = 0; i < 200; ++i) {
            r = ViewerRules.zoomBy(n, z, c, -0.4, 0.9)
            z = r.zoom; c = r.centre
        }
        compare(z, 1)
        compare(ViewerRules.visibleBins(n, z, c), { left: 0, right: n, count: n })
        // A log shorter than 100 bins never zooms at all.
        compare(ViewerRules.zoomBy(50, 1, 0.5, 0.4, 0.5).zoom, 1)
        compare(ViewerRules.visibleBins(0, 3, 0.5).count, 0)
    }

    function test_zoomKeepsTargetBin_data() {
        return [ { tag: "left edge", f: 0 }, { tag: "quarter", f: 0.25 }, { tag: "middle", f: 0.5 }, { tag: "right", f: 1 } ]
    }
    function test_zoomKeepsTargetBin(row) {
        var n = 10000, z = 4, c = 0.3
        var before = ViewerRules.visibleBins(n, z, c)
        var target = before.left + row.f * before.count
        var r = ViewerRules.zoomBy(n, z, c, 0.5, row.f)
        var after = ViewerRules.visibleBins(n, r.zoom, r.centre)
        verify(Math.abs(after.left + row.f * after.count - target) <= 1, JSON.stringify([before, after]))
        // The scroll bar maps back onto the same centre.
        fuzzyCompare(ViewerRules.centreFromScroll(r.zoom, ViewerRules.scrollPosition(r.zoom, r.centre)), r.centre, 1e-9)
    }

    function test_gallonsPerPulse_data() {
        var m = function (u, s, e) { return { "Meter Reading Unit": u, "Meter Reading Start": s, "Meter Reading End": e } }
        return [
            { tag: "gallons", meta: m("Gallons", "100", "200"), pulses: 1000, g: 0.1 },
            { tag: "cubic feet", meta: m("CF", 0, 10), pulses: 100, g: 0.7480519480519 },
            { tag: "start equals end", meta: m("Gallons", "5", "5"), pulses: 10, g: NaN },
            { tag: "start above end", meta: m("Gallons", "9", "5"), pulses: 10, g: NaN },
            { tag: "no pulses", meta: m("Gallons", "1", "5"), pulses: 0, g: NaN },
            { tag: "missing unit", meta: m("", "1", "5"), pulses: 10, g: NaN },
            { tag: "unknown unit", meta: m("Barrels", "1", "5"), pulses: 10, g: NaN },
            { tag: "text reading", meta: m("Gallons", "one", "5"), pulses: 10, g: NaN },
            { tag: "no metadata", meta: undefined, pulses: 10, g: NaN }
        ]
    }
    function test_gallonsPerPulse(row) {
        var g = ViewerRules.gallonsPerPulse(row.meta, row.pulses)
        if (isNaN(row.g)) {
            verify(isNaN(g))
            // Without a volume every display shows events.
            for (var mode = 0; mode < 3; ++mode)
                compare(ViewerRules.display(mode, g).volumeLabel, "Events")
        } else {
            fuzzyCompare(g, row.g, 1e-9)
        }
    }

    function test_flowTexts() {
        var perMinute = ViewerRules.display(1, 0.5)
        // 120 pulses of half a gallon in a minute: 60 gallons, 60 gallons per minute.
        compare(ViewerRules.intervalHeader(120, 60, perMinute), "60 Gallons in 1.00 mins (\u224860 Gallons per Minute)")
        compare(ViewerRules.flowTop(120, perMinute, 60), "60")
        compare(ViewerRules.flowTop(7, ViewerRules.display(0, 0.5), 10), "0.7")
        compare(ViewerRules.flowTop(1, null, 10), "???")
        compare(ViewerRules.intervalText(86400 * 1.5), "1.50 days")
        compare(ViewerRules.intervalText(3600), "1.00 hours")
        compare(ViewerRules.intervalText(59.6), "60 secs")
        compare(ViewerRules.sig3(123456.7), "123457")
        compare(ViewerRules.sig3(0.00123456), "0.00123")
        compare(ViewerRules.sig3(NaN), "???")
        compare([0, 1, 2].map(ViewerRules.nextDisplay), [1, 2, 0])
        var lines = ViewerRules.selectionLines({ sum: 30, max: 20, min: 0, bins: 3 }, 10, ViewerRules.display(0, NaN)).split("\n")
        compare(lines, ["Totals: 30 Events in 30 secs (\u22481 Events per Second)",
                        "Maximum: 20 Events in 10 secs (\u22482 Events per Second)",
                        "Minimum: 0 Events in 10 secs (\u22480 Events per Second)"])
    }

    function test_exportNames() {
        compare(ExportRules.replacement(ExportRules.RLOG, 10), null)
        compare(ExportRules.replacement(ExportRules.GROUPED, 15), "_grouped_15s.csv")
        compare(ExportRules.replacement(ExportRules.TRACEWIZ, 60), "_tracewiz_60s.txt")
        compare(ExportRules.replacement(ExportRules.XLSX, 2.5), "_2.5s.xlsx")
        compare(ExportRules.formatNames().length, 8)
        compare(ExportRules.replacement(ExportRules.REPORT, 10), "_report.pdf")
        compare(ExportRules.grouped(ExportRules.REPORT), false)
        compare(ExportRules.resultMessage(ExportRules.REPORT, false, "a.pdf"), [-1, "Error saving a.pdf"])
        compare(ExportRules.modeNames("Cubic Meters")[2], "Known Pulses per cubic meter")
        compare(ExportRules.resultMessage(ExportRules.GROUPED, false, "a.csv"), [-1, "Error exporting a.csv"])
        compare(ExportRules.resultMessage(ExportRules.META, false, "a.csv"), [-1, "Error saving a.csv"])
        compare(ExportRules.resultMessage(ExportRules.RLOG, true, "a.rlog"), [1, "Saved to a.rlog"])
    }

    function test_flowModes_data() {
        return [
            { tag: "computed", mode: 0, a: "100", b: "200", v: "", pulses: 1000, per: 0.1, ok: true },
            { tag: "computed, readings reversed", mode: 0, a: "200", b: "100", v: "", pulses: 1000, ok: false },
            { tag: "computed, no pulses", mode: 0, a: "0", b: "100", v: "", pulses: 0, ok: false },
            { tag: "computed, text", mode: 0, a: "x", b: "100", v: "", pulses: 10, ok: false },
            { tag: "rounded", mode: 1, a: "0", b: "100", v: "", pulses: 6123, per: 1 / 61, ok: true },
            { tag: "rounded to zero pulses", mode: 1, a: "0", b: "100", v: "", pulses: 3, ok: false },
            { tag: "pulses per unit", mode: 2, a: "", b: "", v: "60", pulses: 0, per: 1 / 60, ok: true },
            { tag: "pulses per unit zero", mode: 2, a: "", b: "", v: "0", pulses: 5, ok: false },
            { tag: "units per pulse", mode: 3, a: "", b: "", v: ".5", pulses: 5, per: 0.5, ok: true },
            { tag: "units per pulse negative", mode: 3, a: "", b: "", v: "-1", pulses: 5, ok: false },
            { tag: "units per pulse empty", mode: 3, a: "", b: "", v: "", pulses: 5, ok: false }
        ]
    }
    function test_flowModes(row) {
        var d = ExportRules.derive(row.mode, row.a, row.b, row.v, row.pulses)
        compare(d.valid, row.ok)
        if (row.ok) {
            fuzzyCompare(d.unitsPerPulse, row.per, 1e-12)
            fuzzyCompare(d.pulsesPerUnit * d.unitsPerPulse, 1, 1e-12)
        }
    }

    function test_gallonArguments() {
        var computed = ExportRules.gallonArguments(0, "CF", "10", "20", 0.01, 1000)
        fuzzyCompare(computed.initial, 74.80519480519, 1e-9)
        fuzzyCompare(computed.ending, 149.6103896104, 1e-9)
        var known = ExportRules.gallonArguments(3, "Liters", "10", "20", 2, 50)
        compare(known.initial, 0)
        fuzzyCompare(known.ending, 100 * 0.2641720524, 1e-9)
        fuzzyCompare(known.gallonsPerPulse, 2 * 0.2641720524, 1e-12)
    }

    function test_metaDataRows() {
        var rows = MetaDataRules.rows(["Meter Make", "Meter Reading Unit"],
                                      { "zeta": 1, "Alpha": 2, "beta": 3, "Meter Make": "DAE" })
        compare(rows.map(function (r) { return r.key }), ["Meter Make", "Meter Reading Unit", "Alpha", "beta", "zeta"])
        compare(rows.map(function (r) { return r.kind }), ["make", "unit", "text", "text", "text"])
        verify(rows[0].fixed && !rows[2].fixed)
        verify(MetaDataRules.exists({ "Site": 1 }, [], " site "))
        verify(MetaDataRules.exists({}, ["Meter Make"], "METER MAKE"))
        verify(!MetaDataRules.exists({ "Site": 1 }, [], "Sites"))
    }
}
