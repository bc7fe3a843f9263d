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
