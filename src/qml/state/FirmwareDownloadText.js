.pragma library
.import localdev 1.0 as Local
// The firmware downloader's texts for the user.

var badMetaText = "Meta download failure: no firmware named in firmware_meta.json"

function httpErrorText(status) {
    if (status === 0)
        return "HTTP failure, check internet connection"
    return "Meta download failure: HTTP status " + status
}

// The file named by firmware_meta.json's meta.latest, or "" when the answer names none or names
// something outside the archive folder.
function latestFileName(jsonText) {
    var doc
    try {
        doc = JSON.parse(jsonText)
    } catch (e) {
        return ""
    }
    if (!doc || typeof doc !== "object" || !doc.meta || typeof doc.meta.latest !== "string")
        return ""
    var name = doc.meta.latest
    if (name === "" || name === "." || name === ".." || /[\/\\:?#%]/.test(name))
        return ""
    return name
}

function loadStatusText(status) {
    switch (status) {
    case Local.FirmwareMeta.LoadStatus_Success:
        return ""
    case Local.FirmwareMeta.LoadStatus_BadMetaHeader:
        return "Firmware file error (Invalid or missing metadata)"
    case Local.FirmwareMeta.LoadStatus_IOError:
        return "Firmware file error (Error opening/reading file)"
    case Local.FirmwareMeta.LoadStatus_ChecksumFailure:
        return "Firmware file error (Checksum failure)"
    }
    return "Firmware file error (Error opening/reading file)"
}
