.pragma library
.import localdev 1.0 as Local
// The logger's persistent variables as the variables screen edits them: what each field shows
// for a stored value, what it stores for an entry (null when the entry cannot be stored), and
// the lists a commit writes.

var N = Local.Network
var choices = ["Disabled", "Enabled"]
var textBytes = 32

var fields = [
    { key: "deviceName", label: "Device Name:", kind: "text", list: 256, name: N.DeviceName_UserString },
    { key: "jobName", label: "Job Name:", kind: "text", list: 256, name: N.DeviceName_JobNameString },
    { key: "keepalive", label: "Network and LED Keepalive (seconds):", kind: "integer", list: 16,
      name: N.Network_Keepalive_Seconds, min: 0, max: 65535 },
    { key: "flashLogging", label: "Log Magnetic Revolutions to Flash:", kind: "choice", list: 16,
      name: N.FlashLogging_Enable },
    { key: "commitMinutes", label: "Flash Log Commit Interval (minutes):", kind: "auto", list: 16,
      name: N.FlashLogging_CommitMinutes, min: 0, max: 65535 },
    { key: "debugSamples", label: "Log Debug Samples:", kind: "choice", list: 16, name: N.FlashLogging_LogDebugSamples },
    { key: "pulseOut", label: "Pulse Out:", kind: "choice", list: 16, name: N.PulseOutput_Enable },
    { key: "pulseDuration", label: "Output Pulse Duration (ms):", kind: "milliseconds", list: 16,
      name: N.PulseOutput_PulseMicros10 },
    { key: "pulseGap", label: "Output Pulse Minimum Gap (ms):", kind: "milliseconds", list: 16,
      name: N.PulseOutput_MinimumGapMicros10 },
    { key: "divider", label: "Output Pulse Divider:", kind: "integer", list: 16, name: N.PulseOutput_Divider,
      min: 1, max: 100 },
    { key: "bufferCount", label: "Max Pulses Queued:", kind: "integer", list: 16, name: N.PulseOutput_BufferCount,
      min: 0, max: 65535 }
]

// Longest prefix of `text` whose UTF-8 form fits in `maxBytes`, never splitting a character
// (the logger keeps 32 bytes; a split character would never read back equal).
function fitUtf8(text, maxBytes) {
    var bytes = 0
    var out = ""
    for (var i = 0; i < text.length; ++i) {
        var code = text.codePointAt(i)
        var width = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4
        if (bytes + width > maxBytes)
            break
        bytes += width
        var ch = String.fromCodePoint(code)
        out += ch
        i += ch.length - 1
    }
    return out
}

// The stored value (a number, or the text of a 256-bit variable) as the field shows it; for
// choices the index of the entry.
function shown(field, stored) {
    switch (field.kind) {
    case "text":
        return stored === undefined || stored === null ? "" : String(stored)
    case "choice":
        return stored ? 1 : 0
    case "auto":
        return stored === 0 ? "Auto" : String(stored)
    case "milliseconds":
        return (stored / 100).toFixed(2)
    }
    return String(stored)
}

function parseInteger(text) {
    var s = String(text)
    return /^\s*\d+\s*$/.test(s) ? parseInt(s, 10) : null
}

// The value to store for an entry, or null when it cannot be stored.
function parsed(field, entry) {
    switch (field.kind) {
    case "text":
        return fitUtf8(String(entry), textBytes)
    case "choice":
        return entry === 1 || entry === "Enabled" ? 1 : entry === 0 || entry === "Disabled" ? 0 : null
    case "auto": {
        // "Auto" or nothing means 0; a typo is refused rather than quietly taken as "Auto".
        var word = String(entry).trim().toLowerCase()
        if (word === "" || word === "auto")
            return 0
        var minutes = parseInteger(entry)
        return minutes !== null && minutes <= field.max ? minutes : null
    }
    case "milliseconds": {
        var s = String(entry)
        if (!/^\s*(\d+(\.\d*)?|\.\d+)\s*$/.test(s))
            return null
        var tens = Math.round(parseFloat(s) * 100)
        return tens >= 0 && tens <= 65535 ? tens : null
    }
    case "integer": {
        var n = parseInteger(entry)
        return n !== null && n >= field.min && n <= field.max ? n : null
    }
    }
    return null
}

function differs(field, entry, stored) {
    return parsed(field, entry) !== stored
}

// The stored value of a field in the logger's lists (16-bit numbers, 256-bit texts).
function storedOf(field, persistents16, persistentTexts) {
    var list = field.list === 256 ? persistentTexts : persistents16
    return list && field.name < list.length ? list[field.name] : (field.list === 256 ? "" : 0)
}

// The lists a commit writes, or null while any entry cannot be stored. `entries` maps field
// keys to what the user has entered; fields without an entry keep the stored value.
function commitLists(entries, persistents16, persistentTexts) {
    var p16 = persistents16.slice()
    var texts = persistentTexts.slice()
    for (var i = 0; i < fields.length; ++i) {
        var f = fields[i]
        if (!entries.hasOwnProperty(f.key))
            continue
        var v = parsed(f, entries[f.key])
        if (v === null)
            return null
        if (f.list === 256)
            texts[f.name] = v
        else
            p16[f.name] = v
    }
    return { persistents16: p16, persistentTexts: texts }
}

function field(key) {
    for (var i = 0; i < fields.length; ++i)
        if (fields[i].key === key)
            return fields[i]
    return null
}

// The name a variables backup is offered under: the logger's serial number (or, without one,
// its unique ID), with characters that do not belong in file names replaced by underscores.
function backupFileName(serialNumber, uniqueId) {
    var id = serialNumber ? String(serialNumber) : uniqueId ? String(uniqueId) : "logger"
    return "variables_" + id.replace(/[^A-Za-z0-9_-]/g, "_") + ".json"
}
