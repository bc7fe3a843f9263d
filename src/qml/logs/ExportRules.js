.pragma library
.import "Units.js" as Units
// The export dialog's formats, default names and flow-rate arithmetic.

var RLOG = 0, XLSX = 1, TRACEWIZ = 2, PULSES = 3, GROUPED = 4, ENVIRONMENT = 5, META = 6, REPORT = 7

var formats = [
    { name: "Raw binary log (RLOG)", filter: "Raw log (*.rlog)" },
    { name: "Excel Spreadsheet (XLSX)", filter: "Excel Spreadsheet (*.xlsx)" },
    { name: "Trace Wizard format (TXT)", filter: "Trace Wizard (*.txt)" },
    { name: "Full resolution data (CSV)", filter: "Comma seperated values (*.csv)" },
    { name: "Grouped into intervals (CSV)", filter: "Comma seperated values (*.csv)" },
    { name: "Voltage/Temperature info (CSV)", filter: "Comma seperated values (*.csv)" },
    { name: "Meta Data (CSV)", filter: "Comma seperated values (*.csv)" },
    { name: "Customer report (PDF)", filter: "PDF document (*.pdf)" }
]

// The report's paper: the names shown and what the report writer takes.
var pageNames = ["Letter", "A4"]
var pageKeys = ["letter", "a4"]

function formatNames() {
    return formats.map(function (f) { return f.name })
}

function grouped(format) {
    return format === XLSX || format === TRACEWIZ || format === GROUPED
}

// Interval as written into names: plain digits, no locale.
function intervalName(seconds) {
    return String(Number(seconds))
}

// What replaces the log's extension; null keeps the log's own name.
function replacement(format, intervalSeconds) {
    var s = intervalName(intervalSeconds)
    switch (format) {
    case RLOG: return null
    case PULSES: return ".csv"
    case GROUPED: return "_grouped_" + s + "s.csv"
    case ENVIRONMENT: return "-environment.csv"
    case META: return "_metadata.csv"
    case TRACEWIZ: return "_tracewiz_" + s + "s.txt"
    case XLSX: return "_" + s + "s.xlsx"
    case REPORT: return "_report.pdf"
    }
    return null
}

function modeNames(unit) {
    var singular = (Units.find(unit) || Units.find("Gallons")).singular
    return ["Computed from Readings", "Computed from Readings (Rounded)",
            "Known Pulses per " + singular, "Known " + singular + " per Pulse"]
}

var defaultPulsesPerUnit = 60
var defaultUnitsPerPulse = .0166666667

// A meter reading from the log's metadata as the field starts with: "" when the log has none,
// so that no volume is ever made up from readings nobody took.
function readingText(meta, key) {
    var v = meta ? meta[key] : undefined
    return v === undefined || v === null ? "" : String(v)
}

// What the dialog says while the readings it needs are missing, or "".
function readingsNotice(mode, meta, valid) {
    var missing = readingText(meta, "Meter Reading Start") === "" || readingText(meta, "Meter Reading End") === ""
    return mode <= 1 && missing && !valid
        ? "This log has no meter readings: enter them, or choose a known pulses-per-unit mode" : ""
}

// The "... is invalid!" warning: only for a value the user typed, never for readings the log
// does not have (the hint above says what to do then).
function invalidText(mode, initialText, endingText, enteredText, valid) {
    var filled = function (t) { return String(t === undefined || t === null ? "" : t).trim() !== "" }
    var typed = mode <= 1 ? filled(initialText) && filled(endingText) : filled(enteredText)
    return valid || !typed ? "" : (mode === 2 ? "Pulses per unit" : "Units per pulse") + " is invalid!"
}

// A derived figure as the read-only field shows it: empty rather than NaN or Infinity.
function shownNumber(value) {
    return typeof value === "number" && isFinite(value) ? String(value) : ""
}

// The stored last format, when it is one of ours.
function storedFormat(stored) {
    return typeof stored === "number" && stored >= 0 && stored < formats.length && stored === Math.floor(stored)
        ? stored : XLSX
}

function number(text) {
    var t = String(text === undefined || text === null ? "" : text).trim()
    return t === "" ? NaN : Number(t)
}

// { unitsPerPulse, pulsesPerUnit, valid } for a mode; readings and the entered value as typed.
function derive(mode, initialText, endingText, enteredText, totalPulses) {
    var perPulse = NaN
    var entered = number(enteredText)
    switch (mode) {
    case 0:
    case 1:
        perPulse = totalPulses > 0 ? (number(endingText) - number(initialText)) / totalPulses : NaN
        if (mode === 1)
            perPulse = 1 / Math.round(1 / perPulse)
        break
    case 2: perPulse = 1 / entered; break
    case 3: perPulse = entered; break
    }
    var perUnit = 1 / perPulse
    var ok = function (v) { return typeof v === "number" && isFinite(v) && v > 0 }
    return { unitsPerPulse: perPulse, pulsesPerUnit: perUnit, valid: ok(perPulse) && ok(perUnit) }
}

// The exporter's arguments in gallons: the typed readings for the plain computed mode,
// otherwise 0 and the volume the pulses make.
function gallonArguments(mode, unit, initialText, endingText, unitsPerPulse, totalPulses) {
    var initial = mode === 0 ? number(initialText) : 0
    var ending = mode === 0 ? number(endingText) : totalPulses * unitsPerPulse
    return {
        gallonsPerPulse: Units.toGallons(unitsPerPulse, unit),
        initial: Units.toGallons(initial, unit),
        ending: Units.toGallons(ending, unit)
    }
}

function resultMessage(format, ok, name) {
    if (format === RLOG)
        return ok ? [1, "Saved to " + name] : [-1, "Error saving " + name]
    if (ok)
        return [1, "Exported to " + name]
    return [-1, (grouped(format) ? "Error exporting " : "Error saving ") + name]
}

// Interval field: whole seconds of at least one.
function intervalSeconds(text) {
    var n = number(text)
    return isFinite(n) && n >= 1 ? n : NaN
}
