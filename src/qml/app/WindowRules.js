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
