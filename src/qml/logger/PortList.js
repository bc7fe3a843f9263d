.pragma library
// The serial port box: "Auto" and one entry per port the host reports.

var autoEntry = "Auto"

// "COM7 (FTDI Tarrowind Adapter) ★": the description only when known, the star when the
// port was recognised as our adapter.
function entryText(name, info) {
    info = info || {}
    var description = [info.manufacturer, info.product].filter(function (s) { return !!s }).join(" ")
    var text = name
    if (description)
        text += " (" + description + ")"
    if (info.autodetectedTarrowind === true)
        text += " \u2605"
    return text
}

function entries(ports) {
    var list = [autoEntry]
    if (!ports || typeof ports !== "object")
        return list
    var names = Object.keys(ports).sort()
    for (var i = 0; i < names.length; ++i)
        list.push(entryText(names[i], ports[names[i]]))
    return list
}

// What is stored for a chosen or typed entry: its text up to the first blank.
function storedValue(text) {
    var s = String(text === undefined || text === null ? "" : text).replace(/^\s+/, "")
    var blank = s.search(/\s/)
    return blank < 0 ? s : s.substring(0, blank)
}

function isAuto(stored) {
    return typeof stored === "string" && stored.toUpperCase() === "AUTO"
}

// The entry to select for the stored port: "Auto" when none or auto is stored, the port's
// entry when it is listed, otherwise -1 (the typed text stays as it is).
function selectedIndex(list, stored) {
    if (!stored || isAuto(stored))
        return 0
    for (var i = 1; i < list.length; ++i)
        if (storedValue(list[i]) === stored)
            return i
    return -1
}
