import QtQuick 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/"

// The firmware downloader against a loopback server laid out like the archive.
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

    function download(folder) {
        var d = createTemporaryObject(downloaderComponent, this, { baseUrl: testSupport.httpBase + folder + "/" })
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

    function test_goodImage() {
        var d = download("good")
        compare(d.lastError, "")
        compare(d.firmwareMeta.loadStatus, FirmwareMeta.LoadStatus_Success)
        compare(d.firmwareMeta.patchlevel, 4470)
        compare(d.firmwareMeta.payload.byteLength, testSupport.firmwarePayloadSize)

        // A new request clears the last error, and a request replaced by another never reports.
        var spy = createTemporaryObject(spyComponent, this, { target: d })
        d.baseUrl = testSupport.httpBase + "missing/"
        d.loadLatestFirmware()
        d.baseUrl = testSupport.httpBase + "good/"
        d.loadLatestFirmware()
        compare(d.lastError, "")
        spy.wait(20000)
        compare(spy.count, 1)
        compare(d.lastError, "")
    }

    function test_silentServerTimesOut() {
        var d = createTemporaryObject(downloaderComponent, this, {
            baseUrl: testSupport.httpBase + "silent/", timeoutMs: 300 })
        var spy = createTemporaryObject(spyComponent, this, { target: d })
        d.loadLatestFirmware()
        spy.wait(20000)
        compare(d.lastError, "HTTP failure, check internet connection")
    }
}
