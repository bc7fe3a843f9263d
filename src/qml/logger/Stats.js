.pragma library
.import "Formats.js" as Formats
// The logger's statistics as rows of name, value and an optional verdict ("alert" or "check").

// The order of the statistics record; keys the program does not know follow by name.
var order = ["genericErrorCount", "i2cIrqCount", "i2cReinitCount", "magIrqCount", "rtcIrqCount",
    "timerWakeCount", "pulseCount", "sleepCount", "uartRxReinitCount", "uartRxBytes", "uartRxBadBytes",
    "magSamplesProcessed", "accelSamplesProcessed", "uptimeNanos", "lastClockSyncNanos", "packetsUnderstood",
    "largestMagBacklog", "currentMagBacklog", "flashStatus", "flashPercentUsed", "flashSessionIndex",
    "flashBadPageCount", "vbatMilliVolts", "vrefIntMilliVolts", "vinputMilliVolts",
    "temperatureCelsiusMilliDegrees", "errorFlags", "cpuFrequency"]

var flashStatusNames = ["Not mounted", "Mounted", "NotFound", "HwError", "Inconsistent"]

function flashStatusText(value) {
    return value >= 0 && value < flashStatusNames.length && value === Math.floor(value)
        ? flashStatusNames[value] : "Unknown"
}

function shownName(key) {
    if (key === "uptimeNanos")
        return "uptime"
    if (key === "lastClockSyncNanos")
        return "lastClockSync"
    return key
}

function shownValue(key, value, formatInteger) {
    var fmt = formatInteger || Formats.plainInteger
    switch (key) {
    case "uptimeNanos":
        return Formats.longDuration(value / 1e9, 0, fmt)
    case "lastClockSyncNanos":
        return Formats.usDateTime(new Date(value / 1e6))
    case "flashStatus":
        return flashStatusText(value)
    case "flashPercentUsed":
        return (value / 65535).toFixed(3)
    case "cpuFrequency":
        return (value / 10).toFixed(1) + " mhz"
    }
    return fmt(value)
}

// Statistics that tell of trouble when they are not zero, and the few with a known good value.
var mustBeZero = ["genericErrorCount", "i2cReinitCount", "uartRxReinitCount", "uartRxBadBytes",
    "flashBadPageCount", "errorFlags"]

function verdict(key, value) {
    if (mustBeZero.indexOf(key) >= 0)
        return value !== 0 ? "alert" : "check"
    if (key === "largestMagBacklog" || key === "currentMagBacklog")
        return value > 127 ? "alert" : "check"
    if (key === "flashStatus")
        return value === 1 ? "check" : "alert"
    return ""
}

function rows(stats, formatInteger) {
    if (!stats || typeof stats !== "object")
        return []
    var known = order.filter(function (k) { return stats.hasOwnProperty(k) })
    var others = Object.keys(stats).filter(function (k) { return order.indexOf(k) < 0 }).sort()
    return known.concat(others).map(function (key) {
        var value = Number(stats[key])
        return { key: key, text: shownName(key) + ": " + shownValue(key, value, formatInteger),
                 verdict: verdict(key, value) }
    })
}
