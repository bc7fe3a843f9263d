.pragma library
.import localdev 1.0 as Local
// Names of saved captures.

function fileSafe(text) {
    return Local.SafeFileName.component(String(text))
}

// isoStart: the capture's start time as ISO 8601 text.
function captureFileName(deviceName, isoStart) {
    var name = "Capture_"
    if (deviceName)
        name += fileSafe(deviceName) + "_"
    return name + fileSafe(isoStart) + ".csv"
}

function joinPath(folder, fileName) {
    if (!folder)
        return fileName
    var last = folder.charAt(folder.length - 1)
    return (last === "/" || last === "\\") ? folder + fileName : folder + "/" + fileName
}
