.pragma library

function windowTitle(applicationName, version, headerTitle) {
    var title = applicationName + " v" + version
    if (typeof headerTitle === "string" && headerTitle !== "")
        title += " - " + headerTitle
    return title
}

// Sizes in the documents are multiplied by this: the screen's dots per millimetre over 3.2,
// never below 1; 1 when the screen reports nothing usable.
function pixelScale(pixelDensity) {
    var density = Number(pixelDensity)
    if (pixelDensity === undefined || pixelDensity === null || !isFinite(density) || density < 0.001)
        return 1.0
    return Math.max(1.0, density / 3.2)
}

// The suggested name of a support bundle: the time in UTC, so names sort and never collide
// across time zones, and no characters that file systems refuse.
function supportBundleName(date) {
    function two(n) { return (n < 10 ? "0" : "") + n }
    return "TarrowindSupport_" + date.getUTCFullYear() + two(date.getUTCMonth() + 1) + two(date.getUTCDate())
            + "_" + two(date.getUTCHours()) + two(date.getUTCMinutes()) + two(date.getUTCSeconds()) + "Z.zip"
}

// Work that must not be cut short, by the name the screens give it in `runningOperation`, in
// the order of what quitting would harm most.
var operations = [
    { name: "firmware", quit: "A firmware update is in progress. Quitting now leaves the logger in its bootloader." },
    { name: "clear", quit: "The logger's flash is being cleared. Quitting now can leave it unreadable until it is cleared again." },
    { name: "download", quit: "A download is in progress. Quitting now loses it.",
      leave: "A download is in progress. Leave and cancel it?" }
]

// The question to ask before quitting while the screens run `running` (their operations, ""
// for none), or "" to quit at once.
function quitQuestion(running) {
    var list = running || []
    for (var i = 0; i < operations.length; ++i)
        if (list.indexOf(operations[i].name) >= 0)
            return operations[i].quit
    return ""
}

// The question to ask before leaving a screen that runs `operation`, or "" to leave at once.
function leaveQuestion(operation) {
    for (var i = 0; i < operations.length; ++i)
        if (operations[i].name === operation && operations[i].leave)
            return operations[i].leave
    return ""
}
