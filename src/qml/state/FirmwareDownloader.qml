import QtQuick 2.15
import localdev 1.0

// The newest firmware of the maker's archive, fetched into a FirmwareMeta. The fetch and its
// checks are the archive's (FirmwareArchive); this only binds it into the shared state.
Item {
    id: downloader

    // The stored "Firmware archive address"; TW_FIRMWARE_ARCHIVE replaces it for a run and
    // the maker's archive stands in for an empty one.
    property string archiveAddress: ""
    readonly property string baseUrl: archive.baseUrl
    property FirmwareMeta firmwareMeta: null
    readonly property string lastError: archive.lastError
    readonly property bool downloading: archive.busy
    // Give up when the server sends nothing for this long.
    property int stallTimeoutMs: 30000

    signal finished(string errorString)

    function loadLatestFirmware() {
        archive.fetchLatest()
    }

    function abort() {
        archive.abort()
    }

    FirmwareArchive {
        id: archive
        baseUrl: effectiveBaseUrl(downloader.archiveAddress)
        firmwareMeta: downloader.firmwareMeta
        stallTimeoutMs: downloader.stallTimeoutMs
        onFinished: downloader.finished(errorString)
    }
}
