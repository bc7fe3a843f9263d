.pragma library
.import localdev 1.0 as Local
.import "Markup.js" as Markup
// The connection status shown to the user: the first row that applies wins.
// s: repairPending, portCount, portName, portSetting, deviceOpen, lastError, lastPortError,
//    wantsFirmware (the target mode), firmwareState, bootloaderState, bootloaderError,
//    bootloaderErrorText, screenWantsBootloader
// Returns { state: "good" | "uncertain" | "error", title, info }.

function row(state, title, info) {
    return { state: state, title: title, info: info || "" }
}

function status(s) {
    var FW = Local.TarrowindFirmware
    var BL = Local.StmBootLoader
    if (s.repairPending)
        return row("uncertain", "Connection Disabled", "Port closed pending update")
    // An open port needs no enumeration entry (a port given by path): only a closed one can
    // be blamed on missing adapters.
    if (!s.deviceOpen && s.portCount === 0)
        return row("error", "No Ports or Adapters Found")
    if (!s.portName) {
        // An empty setting searches like "AUTO" (the port box shows "Auto" for it).
        if (typeof s.portSetting === "string" && (s.portSetting === "" || s.portSetting.toUpperCase() === "AUTO"))
            return row("error", "No Tarrowind adapter detected")
        return row("error", "Connection Disabled")
    }
    if (s.lastError)
        return row("error", "Serial Error", Markup.escape(s.lastError) + "<br>(" + Markup.escape(s.lastPortError) + ")")
    if (s.wantsFirmware) {
        if (s.firmwareState === FW.ConnectionState_Ready)
            return row("good", "Logger Connected")
        if (s.firmwareState === FW.ConnectionState_QueryingInfo)
            return row("uncertain", "Logger Connecting")
        // An open port that has stayed silent past the connection manager's retry: say what
        // the reconnecting is about, since the title alone looks like nothing is happening.
        return row("uncertain", "Logger Not Connected", "Searching for device..." +
                   (s.deviceOpen && s.silentLong ? "<br>No answer from the logger at " + s.baud + " baud; retrying" : ""))
    }
    if (s.bootloaderError !== BL.Error_None)
        return row("error", "Logger bootloader error", Markup.escape(s.bootloaderErrorText))
    if (s.bootloaderState === BL.State_Ready)
        return row(s.screenWantsBootloader ? "good" : "uncertain", "Logger in bootloader")
    if (s.bootloaderState === BL.State_Busy)
        return row("uncertain", "Logger Busy")
    return row("uncertain", "Logger Not Connected", "Searching for device...")
}

function serialNumberText(serialNumber) {
    return serialNumber ? "Tarrowind 3X #" + serialNumber : ""
}
