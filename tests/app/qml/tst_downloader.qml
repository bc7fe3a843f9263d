import QtQuick 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/"

// The firmware archive (through the window's downloader, and as `tarrowind-cli firmware-fetch`)
// against a loopback server laid out like the archive: good, missing, redirected, oversized,
// stalled or damaged.
TestCase {
    name: "FirmwareDownloader"

    Component {
        id: downloaderComponent
        FirmwareDownloader {
            firmwareMeta: FirmwareMeta {}
        }
    }
    Component {
        id: spyComponent
        SignalSpy { signalName: "finished" }
    }

    // Only the stalled image gets a short patience, and one that a busy machine's pauses in the
    // transfers before it (the archive's index) stay under.
    function download(folder) {
        var properties = { archiveAddress: testSupport.httpBase + folder + "/" }
        if (folder === "stall")
            properties.stallTimeoutMs = 3000
        var d = createTemporaryObject(downloaderComponent, this, properties)
        var spy = createTemporaryObject(spyComponent, this, { target: d })
        d.loadLatestFirmware()
        verify(d.downloading)
        spy.wait(20000)
        compare(spy.count, 1)
        verify(!d.downloading)
        compare(spy.signalArguments[0][0], d.lastError)
        return d
    }

    function test_outcomes_data() {
        return [
            { tag: "no answer", folder: "drop", error: "HTTP failure, check internet connection" },
            { tag: "no archive", folder: "missing", error: "Meta download failure: HTTP status 404" },
            { tag: "image missing", folder: "imagegone", error: "Meta download failure: HTTP status 404" },
            { tag: "redirect to another host", folder: "away", error: "Meta download failure: redirect to another host refused" },
            { tag: "oversized image", folder: "huge", error: "Firmware download failure: image larger than 16 MiB" },
            { tag: "stalled image", folder: "stall", error: "Firmware download failure: no data for 3 s" },
            { tag: "not a firmware file", folder: "notfirmware", error: "Firmware file error (Invalid or missing metadata)" },
            { tag: "corrupted image", folder: "corrupt", error: "Firmware file error (Checksum failure)" },
            { tag: "meta not JSON", folder: "badmeta", error: "Meta download failure: no firmware named in firmware_meta.json" },
            { tag: "name outside the archive", folder: "escape", error: "Meta download failure: no firmware named in firmware_meta.json" }
        ]
    }
    function test_outcomes(row) {
        var d = download(row.folder)
        compare(d.lastError, row.error)
        verify(d.firmwareMeta.loadStatus !== FirmwareMeta.LoadStatus_Success)
    }

    // A name the server chose is refused, not rewritten, unless it is a plain firmware file name.
    function test_refusedNames_data() {
        return testSupport.badFirmwareNames.map(function(name, i) { return { tag: name, folder: "badname" + i } })
    }
    function test_refusedNames(row) {
        compare(download(row.folder).lastError, "Meta download failure: no firmware named in firmware_meta.json")
    }

    function test_goodImage_data() {
        return [{ tag: "good", folder: "good" }, { tag: "same-origin redirects", folder: "moved" },
                { tag: "a name only like a device", folder: "console" }]
    }
    function test_goodImage(row) {
        var d = download(row.folder)
        compare(d.lastError, "")
        compare(d.firmwareMeta.loadStatus, FirmwareMeta.LoadStatus_Success)
        compare(d.firmwareMeta.patchlevel, 4470)
        compare(d.firmwareMeta.payload.byteLength, testSupport.firmwarePayloadSize)

        // A new request clears the last error, and a request replaced by another never reports.
        var spy = createTemporaryObject(spyComponent, this, { target: d })
        d.archiveAddress = testSupport.httpBase + "missing/"
        d.loadLatestFirmware()
        d.archiveAddress = testSupport.httpBase + "good/"
        d.loadLatestFirmware()
        compare(d.lastError, "")
        spy.wait(20000)
        compare(spy.count, 1)
        compare(d.lastError, "")
    }

    function test_silentServerTimesOut() {
        var d = createTemporaryObject(downloaderComponent, this, {
            archiveAddress: testSupport.httpBase + "silent/", stallTimeoutMs: 300 })
        var spy = createTemporaryObject(spyComponent, this, { target: d })
        d.loadLatestFirmware()
        spy.wait(20000)
        compare(d.lastError, "Meta download failure: no data for 0.3 s")
    }

    function test_addressAndScheme() {
        var d = createTemporaryObject(downloaderComponent, this)
        var urls = [d.baseUrl]
        d.archiveAddress = "https://mirror.example/fw"
        compare(urls.concat(d.baseUrl), ["https://www.ombrellix.example/archive/firmware/", "https://mirror.example/fw/"])
        // Nothing leaves the machine in the clear.
        d.archiveAddress = "http://192.0.2.1/fw/"
        var spy = createTemporaryObject(spyComponent, this, { target: d })
        d.loadLatestFirmware()
        spy.wait(20000)
        compare(d.lastError, "Meta download failure: the archive address is not https")
    }

    function test_cliWritesTheLatestImageOrNothing() {
        var folder = testSupport.newFolder()
        var r = testSupport.runCli("good", ["firmware-fetch", "-o", folder, "--json", "--quiet"])
        compare(r.status, 0, r.err)
        compare(r.err, "")
        var o = JSON.parse(r.out)
        compare([o.version, o.bytes, o.file], ["0.1.4470", testSupport.firmwarePayloadSize + 210,
                                               folder + "/tarrowind-0.1.4470.fw"])
        verify(testSupport.holdsTheGoodImage(o.file))
        // A damaged image writes nothing, a stall ends at its time-out: one line each.
        var empty = testSupport.newFolder()
        for (var f of ["corrupt", "stall"]) {
            r = testSupport.runCli(f, ["firmware-fetch", "-o", empty, "--timeout", "1", "--quiet"])
            compare([r.status, r.out, r.err.split("\n").length], [1, "", 2], f + ": " + r.err)
            verify(r.err.indexOf("tarrowind-cli: ") === 0, r.err)
            compare(testSupport.listFiles(empty), [])
        }
        r = testSupport.runCli("good", ["firmware-fetch", "-o", empty])
        compare(r.out, "0.1.4470 " + empty + "/tarrowind-0.1.4470.fw\n")
        // The same bytes already there are the fetch done; other bytes are never replaced.
        r = testSupport.runCli("good", ["firmware-fetch", "-o", empty, "--quiet"])
        compare([r.status, r.err], [0, ""])
        verify(testSupport.writeTextFile(empty + "/tarrowind-0.1.4470.fw", "mine"))
        r = testSupport.runCli("good", ["firmware-fetch", "-o", empty, "--quiet"])
        compare([r.status, r.out, r.err], [1, "", "tarrowind-cli: " + empty + "/tarrowind-0.1.4470.fw exists and differs\n"])
        compare(testSupport.readTextFile(empty + "/tarrowind-0.1.4470.fw"), "mine")
        compare(testSupport.listFiles(empty), ["tarrowind-0.1.4470.fw"])
    }
}
