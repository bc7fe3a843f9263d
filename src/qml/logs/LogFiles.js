.pragma library
.import localdev 1.0 as Local
// What the logger filesystem screen shows and allows, and how a session is named on disk.

// RemoteFilesystem.Status values.
var Unmounted = 0, Mounted = 1, BusyMounting = 2, BusyScanning = 3, BusyScanningMeta = 4,
    BusyDownloading = 5, Errored = 6

var statusTexts = [
    "Logger filesystem not open",
    "Logger filesystem open",
    "Opening logger filesystem... (this can take a minute)",
    "Scanning logger files... (this can take a minute)",
    "Getting logged time spans... (this can take a minute)",
    "Downloading logger session data...",
    "Logger filesystem error!"
]

function statusText(status) {
    return status >= 0 && status < statusTexts.length ? statusTexts[status] : statusTexts[Unmounted]
}

function busy(status) {
    return status >= BusyMounting && status <= BusyDownloading
}

// Fill level as the logger reports it: 0..65535 for 0..100 %.
function fullText(status, flashPercentUsed) {
    if (status === Unmounted || status === Errored || typeof flashPercentUsed !== "number"
            || !isFinite(flashPercentUsed))
        return ""
    return "File system is " + (flashPercentUsed / 655.35).toFixed(1) + "% full."
}

function clearEnabled(status, clearing) {
    return !clearing && (status === Unmounted || status === Mounted || status === Errored)
}

function openEnabled(status) {
    return status === Mounted || status === BusyScanning
}

// "Download New" needs the whole list (a scan that finished) and the logger's serial number,
// under which its saved sessions are remembered.
function newDownloadEnabled(status, scanFinished, serial) {
    return status === Mounted && scanFinished && String(serial || "") !== ""
}

// A scan is due once mounted until one has finished; losing the mount forgets it.
function scanDue(status, scanFinished) {
    return status === Mounted && !scanFinished
}

function forgetsScan(status) {
    return status === Unmounted || status === Errored
}

function text(value) {
    return value === undefined || value === null ? "" : String(value)
}

// Names from the logger become file names through the same rules as the command-line tool's:
// one plain component each, never a folder of their own.
function safeName(name) {
    return Local.SafeFileName.component(text(name))
}

function sessionFileName(deviceName, sessionIndex, sessionName, fileType) {
    return Local.SafeFileName.sessionFileName(text(deviceName), Math.max(0, Math.floor(Number(sessionIndex) || 0)),
                                              text(sessionName), fileType === 1 ? 1 : 0)
}

// "" when the name would not land directly in the folder.
function sessionPath(folder, fileName) {
    return Local.SafeFileName.pathInside(text(folder), text(fileName))
}

function sizeText(bytes) {
    var b = Number(bytes)
    if (!isFinite(b) || b < 0)
        b = 0
    return "~" + (b / (1024 * 1024)).toFixed(1) + " MiB"
}

// What the logger said about a filesystem create: [positivity, message].
function createResult(code) {
    switch (code) {
    case 0: return [1, "Filesytem initialized successfully"]
    case 1: return [-1, "Device reported a flash hardware or communication error during filesystem initialization."]
    case 2: return [-1, "Device reported too many read-only or bad blocks during filesystem initialization."]
    }
    return [-1, "Device reported an unknown result (" + code + ") during filesystem initialization."]
}

// Erasing cannot be undone; the question says exactly how much goes.
function eraseQuestion(sessionCount, unsavedCount, scanned) {
    if (!scanned)
        return "Erase every session on the logger? The sessions have not been listed yet, so some of them "
            + "may never have been saved here. This cannot be undone."
    if (sessionCount <= 0)
        return "The logger holds no sessions. Erase its filesystem anyway? This cannot be undone."
    var s = sessionCount === 1 ? "1 session" : sessionCount + " sessions"
    var u = unsavedCount === 0 ? "all of them have been saved here"
          : unsavedCount === sessionCount ? (sessionCount === 1 ? "it has" : "none of them has") + " been saved here"
          : unsavedCount + " of them " + (unsavedCount === 1 ? "has" : "have") + " never been saved here"
    return "Erase " + s + " on the logger (" + u + ")? This cannot be undone."
}
