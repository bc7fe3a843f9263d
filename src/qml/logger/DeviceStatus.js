.pragma library
// What the device status panel and the home screen's picture show about the logger.

// ModelType_Tarrowind3X (the Network enum's value).
var modelTarrowind3X = 1

function versionText(major, minor, patch, buildType) {
    var text = major + "." + minor + "." + patch
    return buildType ? text + " (" + buildType + ")" : text
}

// Negative, zero or positive as version a is older, equal or newer than b.
function compareVersions(a, b) {
    if (a.major !== b.major)
        return a.major < b.major ? -1 : 1
    if (a.minor !== b.minor)
        return a.minor < b.minor ? -1 : 1
    if (a.patch !== b.patch)
        return a.patch < b.patch ? -1 : 1
    return 0
}

// The device says it is outdated, or the online image (only when it loaded) is newer.
function updateAvailable(deviceOutdated, device, online) {
    if (deviceOutdated)
        return true
    if (!online || !online.loaded)
        return false
    return compareVersions(online, device) > 0
}

var errorFlagNames = [
    { bit: 1, name: "RTC Fault" },
    { bit: 2, name: "Flash Fault" },
    { bit: 4, name: "Magnetometer Fault" },
    { bit: 65536, name: "RTC Uncalibrated" }
]

function errorFlagsText(flags) {
    var names = []
    for (var i = 0; i < errorFlagNames.length; ++i)
        if ((flags & errorFlagNames[i].bit) !== 0)
            names.push(errorFlagNames[i].name)
    return names.join(", ")
}

// The drawing of the logger: revision 0 has its own; anything unknown shows the current one.
function loggerPicture(identified, modelType, modelRevision) {
    return identified && modelType === modelTarrowind3X && modelRevision === 0
        ? "img/halvacrest-r0.svg" : "img/halvacrest-r1.svg"
}

// Greyed out unless a logger of ours is connected and identified.
function loggerDesaturation(identified, modelType) {
    return identified && modelType === modelTarrowind3X ? 0 : 0.75
}

// The picture needs free width above three quarters of the height.
function showLoggerPicture(freeWidth, height) {
    return freeWidth > 0.75 * height
}
