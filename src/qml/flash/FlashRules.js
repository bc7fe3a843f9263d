.pragma library
.import localdev 1.0 as Local
// The flash tool's decisions: what each firmware choice says, when a step is done, and whether
// an image may be flashed at all.

var FM = Local.FirmwareMeta
var BL = Local.StmBootLoader

function loadStatusText(status) {
    switch (status) {
    case FM.LoadStatus_Success: return "(Checksum verified)"
    case FM.LoadStatus_BadMetaHeader: return "(Invalid or missing metadata)"
    case FM.LoadStatus_IOError: return "(Error opening/reading file)"
    case FM.LoadStatus_ChecksumFailure: return "(Checksum failure)"
    }
    return ""
}

// c: { online, fileChosen, loadStatus, downloading, downloadError }
function loadStateText(c) {
    if (c.online) {
        if (c.downloading)
            return "Downloading..."
        if (c.downloadError)
            return "Online firmware not available: " + c.downloadError
        return c.loadStatus === FM.LoadStatus_NoLoadAttempted ? "No firmware selected" : loadStatusText(c.loadStatus)
    }
    if (!c.fileChosen)
        return "No firmware selected"
    return loadStatusText(c.loadStatus)
}

// "Firmware: v0.1.4470-debug release notes", only for an image that loaded.
function versionText(loadStatus, major, minor, patch, flags, strings) {
    if (loadStatus !== FM.LoadStatus_Success)
        return ""
    var text = "Firmware: v" + major + "." + minor + "." + patch
    if ((flags & FM.MetaFlag_Debug) !== 0)
        text += "-debug"
    if (strings)
        text += " " + strings
    return text
}

// The online image is offered first when it loaded, or while it may still come; an archive
// that failed leaves the file from the computer as the way on.
function preselectOnline(onlineCheckSetting, onlineLoadStatus, downloadError) {
    if (onlineLoadStatus === FM.LoadStatus_Success)
        return true
    return onlineCheckSetting === true && !downloadError
}

// A download that ends while the screen is open moves a choice the user has not made.
function onlineAfterDownload(useOnline, userChose, errorString) {
    if (userChose)
        return useOnline
    return useOnline && !errorString
}

// Choosing the online image downloads it again unless a download already succeeded.
function downloadOnChoosing(onlineLoadStatus, downloading) {
    return onlineLoadStatus !== FM.LoadStatus_Success && !downloading
}

function adapterStepDone(bootloaderState) {
    return bootloaderState === BL.State_Ready || bootloaderState === BL.State_Busy
}

function imageStepDone(loadStatus) {
    return loadStatus === FM.LoadStatus_Success
}

// Only a verified image goes to a bootloader that is waiting for work.
function mayFlash(bootloaderState, loadStatus) {
    return bootloaderState === BL.State_Ready && loadStatus === FM.LoadStatus_Success
}

function choicesEnabled(bootloaderState) {
    return bootloaderState !== BL.State_Busy
}

// "" before any flash, else "good" or "error".
function resultState(finished, error) {
    if (!finished)
        return ""
    return error === BL.Error_None ? "good" : "error"
}

function resultText(finished, error, errorText) {
    if (!finished)
        return ""
    return error === BL.Error_None ? "Flash successful" : "Flash failure: " + errorText
}
