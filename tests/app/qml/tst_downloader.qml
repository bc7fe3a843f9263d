import QtQuick 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/"

// The firmware downloader's binding of the archive into the shared state, against a loopback
// server laid out like the archive (what each kind of archive gives is the archive's own test).
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
        var d = createTemporaryObject(downloaderComponent, this, { archiveAddress: testSupport.httpBase + folder + "/" })
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
            { tag: "corrupted image", folder: "corrupt", error: "Firmware file error (Checksum failure)" }
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
}
