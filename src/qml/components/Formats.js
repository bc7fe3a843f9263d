.pragma library
// Durations and dates as the screens show them. Numbers never go through the user's locale:
// integers that may grow large are handed to `formatInteger` (the host's US-English helper),
// everything else is plain digits.

function plainInteger(value) {
    return String(value)
}

function splitSeconds(totalSeconds) {
    var rest = totalSeconds
    var years = Math.floor(rest / (365 * 86400))
    rest -= years * 365 * 86400
    var days = Math.floor(rest / 86400)
    rest -= days * 86400
    var hours = Math.floor(rest / 3600)
    rest -= hours * 3600
    var minutes = Math.floor(rest / 60)
    rest -= minutes * 60
    return { years: years, days: days, hours: hours, minutes: minutes, seconds: rest }
}

// Rounded to the shown decimals before splitting, so 59.96 s never reads "60.0 sec".
function roundTo(value, decimals) {
    var scale = Math.pow(10, decimals)
    return Math.round(value * scale) / scale
}

// Every unit above zero, the seconds with `decimals` decimals: "1 days, 2 hr, 0.5 sec".
function longDuration(seconds, decimals, formatInteger) {
    if (typeof seconds !== "number" || !isFinite(seconds))
        return ""
    var fmt = formatInteger || plainInteger
    decimals = Math.max(0, Math.min(9, decimals || 0))
    var rounded = roundTo(Math.abs(seconds), decimals)
    var sign = seconds < 0 && rounded > 0 ? "-" : ""
    var p = splitSeconds(rounded)
    var text = sign
    if (p.years > 0)
        text += fmt(p.years) + " years, "
    if (p.days > 0)
        text += fmt(p.days) + " days, "
    if (p.hours > 0)
        text += p.hours + " hr, "
    if (p.minutes > 0)
        text += p.minutes + " min, "
    return text + p.seconds.toFixed(decimals) + " sec"
}

// The two largest units only, in whole numbers: "3 days, 4 hours", "2 min, 5 sec".
function shortDuration(seconds, formatInteger) {
    if (typeof seconds !== "number" || !isFinite(seconds))
        return ""
    var fmt = formatInteger || plainInteger
    // A skew that rounds to nothing has no direction (in longDuration too).
    var rounded = Math.round(Math.abs(seconds))
    var sign = seconds < 0 && rounded > 0 ? "-" : ""
    var p = splitSeconds(rounded)
    if (p.years > 0)
        return sign + fmt(p.years) + " years, " + fmt(p.days) + " days"
    if (p.days > 0)
        return sign + fmt(p.days) + " days, " + p.hours + " hours"
    if (p.hours > 0)
        return sign + p.hours + " hr, " + p.minutes + " min"
    if (p.minutes > 0)
        return sign + p.minutes + " min, " + p.seconds + " sec"
    return sign + p.seconds + " sec"
}

var monthNames = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

function twoDigits(n) {
    return n < 10 ? "0" + n : String(n)
}

// "MMM dd, yyyy h:mm:ss ap" in US English whatever the system's language, in local time.
function usDateTime(date) {
    if (!(date instanceof Date) || isNaN(date.getTime()))
        return ""
    var hours = date.getHours()
    var h12 = hours % 12 === 0 ? 12 : hours % 12
    return monthNames[date.getMonth()] + " " + twoDigits(date.getDate()) + ", " + date.getFullYear() + " "
        + h12 + ":" + twoDigits(date.getMinutes()) + ":" + twoDigits(date.getSeconds())
        + " " + (hours < 12 ? "am" : "pm")
}
