.pragma library
// Which port the connection manager opens, and when the port list is polled.

// The port box shows "Auto" for an empty setting (a fresh start), so an empty setting searches
// exactly as "AUTO" does; what is stored stays as it is.
function isAuto(port) {
    return typeof port === "string" && (port === "" || port.toUpperCase() === "AUTO")
}

// The first port of the enumeration that was recognised as the product's adapter.
function autoDetectedPort(serialPorts) {
    if (!serialPorts || typeof serialPorts !== "object")
        return ""
    var names = Object.keys(serialPorts)
    for (var i = 0; i < names.length; ++i) {
        var entry = serialPorts[names[i]]
        if (entry && entry.autodetectedTarrowind === true)
            return names[i]
    }
    return ""
}

// The port name bound to the connection manager; empty closes the port.
function serialPortName(dataSource, repairPending, portSetting, serialPorts) {
    if (dataSource !== "Serial" || repairPending)
        return ""
    if (isAuto(portSetting))
        return autoDetectedPort(serialPorts)
    return typeof portSetting === "string" ? portSetting : ""
}

// The periodic enumeration runs only while an adapter is being looked for.
// s: dataSource, enumerating, repairPending, portSetting, firmwareReady, bootloaderActive
function shouldSearchPorts(s) {
    return s.dataSource === "Serial" && !s.enumerating && !s.repairPending
            && isAuto(s.portSetting) && !s.firmwareReady && !s.bootloaderActive
}

// The value of "--port PATH" or "--port=PATH" on the command line; empty without one.
function commandLinePort(args) {
    if (!args)
        return ""
    for (var i = 1; i < args.length; ++i) {
        var a = String(args[i])
        if (a === "--port")
            return i + 1 < args.length ? String(args[i + 1]) : ""
        if (a.indexOf("--port=") === 0)
            return a.substring(7)
    }
    return ""
}
