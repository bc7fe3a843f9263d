.pragma library
// Bookkeeping of the two adapter repairs. Each function takes the current state and returns a
// new one; nothing here touches the port or the adapter.

function initialState() {
    return {
        eepromFixAsked: {},          // port -> true once the update was offered
        elevatedFixAsked: {},        // port -> true once the driver repair was considered
        eepromPortToUpdate: "",
        eepromSerialToUpdate: "",
        eepromApproved: false,
        elevatedFixPathToFix: ""
    }
}

function copyState(s) {
    return JSON.parse(JSON.stringify(s))
}

function pending(s) {
    return s.eepromPortToUpdate !== "" || s.elevatedFixPathToFix !== ""
}

// The firmware connection became ready on `port`; `entry` is the port's enumeration entry.
// Returns { state, askEeprom }.
function onConnectionReady(s, port, entry) {
    if (!entry || pending(s))
        return { state: s, askEeprom: false }
    var next = copyState(s)
    if (entry.eepromFixNeeded === true && !next.eepromFixAsked[port]) {
        next.eepromFixAsked[port] = true
        next.eepromPortToUpdate = port
        next.eepromSerialToUpdate = String(entry.serialNumber || "")
        next.eepromApproved = false
        return { state: next, askEeprom: true }
    }
    var path = entry.elevatedFixPath
    if (typeof path === "string" && path !== "" && !next.elevatedFixAsked[port]) {
        next.elevatedFixAsked[port] = true
        next.elevatedFixPathToFix = path
        return { state: next, askEeprom: false }
    }
    return { state: s, askEeprom: false }
}

function approveEeprom(s) {
    if (s.eepromPortToUpdate === "")
        return s
    var next = copyState(s)
    next.eepromApproved = true
    return next
}

function denyEeprom(s) {
    var next = copyState(s)
    next.eepromPortToUpdate = ""
    next.eepromSerialToUpdate = ""
    next.eepromApproved = false
    return next
}

// What to run once the port is closed: "eeprom", "elevated" or "" (nothing, or waiting for
// the user's answer).
function actionWhenPortIdle(s) {
    if (s.eepromPortToUpdate !== "")
        return s.eepromApproved ? "eeprom" : ""
    if (s.elevatedFixPathToFix !== "")
        return "elevated"
    return ""
}

function eepromDone(s) {
    return denyEeprom(s)
}

function elevatedDone(s) {
    var next = copyState(s)
    next.elevatedFixPathToFix = ""
    return next
}
