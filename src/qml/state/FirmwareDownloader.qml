import QtQuick 2.15
import localdev 1.0
import "FirmwareDownloadText.js" as DownloadText

// Fetches the newest firmware of the maker's archive into a FirmwareMeta.
Item {
    id: downloader

    property string baseUrl: "https://www.ombrellix.example/archive/firmware/"
    property FirmwareMeta firmwareMeta: null
    property string lastError: ""
    readonly property bool downloading: request !== null
    // A server that accepts the connection and then says nothing must not keep the download
    // open for ever.
    property int timeoutMs: 60000

    property var request: null

    signal finished(string errorString)

    function loadLatestFirmware() {
        console.log("Trying to download latest firmware meta information...")
        lastError = ""
        abort()
        fetch("firmware_meta.json", "", function (xhr) {
            var name = DownloadText.latestFileName(xhr.responseText)
            if (name === "") {
                finish(DownloadText.badMetaText)
                return
            }
            fetch(name, "arraybuffer", function (imageXhr) {
                if (!firmwareMeta) {
                    finish(DownloadText.loadStatusText(FirmwareMeta.LoadStatus_IOError))
                    return
                }
                firmwareMeta.loadData(imageXhr.response)
                finish(DownloadText.loadStatusText(firmwareMeta.loadStatus))
            })
        })
    }

    function abort() {
        var xhr = request
        request = null
        timeout.stop()
        if (xhr)
            xhr.abort()
    }

    function fetch(name, responseType, onSuccess) {
        var xhr = new XMLHttpRequest()
        request = xhr
        xhr.onreadystatechange = function () {
            if (xhr !== request || xhr.readyState !== XMLHttpRequest.DONE)
                return
            if (xhr.status !== 200)
                finish(DownloadText.httpErrorText(xhr.status))
            else
                onSuccess(xhr)
        }
        xhr.open("GET", baseUrl + name)
        if (responseType !== "")
            xhr.responseType = responseType
        xhr.send()
        timeout.restart()
    }

    function finish(errorString) {
        request = null
        timeout.stop()
        lastError = errorString
        if (errorString !== "")
            console.log("Firmware download failed: " + errorString)
        finished(errorString)
    }

    Timer {
        id: timeout
        interval: downloader.timeoutMs
        onTriggered: {
            var xhr = downloader.request
            downloader.request = null
            if (xhr)
                xhr.abort()
            downloader.finish(DownloadText.httpErrorText(0))
        }
    }
}
