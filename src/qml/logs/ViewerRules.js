.pragma library
.import "Units.js" as Units
// The pulse-log viewer's arithmetic: bins, zoom, the flow displays and the texts built on them.

// Seconds per bin from what the user typed: anything below one second or not a number is 1.
function binSeconds(text) {
    var n = Number(String(text).trim())
    return String(text).trim() !== "" && isFinite(n) && n >= 1 ? n : 1
}

function binMilliseconds(text) {
    return Math.round(binSeconds(text) * 1000)
}

function maxZoom(binCount) {
    return Math.max(1, binCount / 100)
}

function clamp(v, lo, hi) {
    return Math.min(hi, Math.max(lo, v))
}

// The visible bins for zoom z and centre c (0..1): [left, right), never empty for a non-empty log.
function visibleBins(binCount, zoom, centre) {
    var n = Math.max(0, Math.floor(binCount))
    var v = Math.min(n, Math.ceil(n / Math.max(1, zoom)))
    var left = Math.round((n - v) * clamp(centre, 0, 1))
    return { left: left, right: left + v, count: v }
}

// Zooms by `amount` (z becomes z × (1 + amount)) keeping the bin at `fraction` of the visible
// width in place. Returns the new { zoom, centre }.
function zoomBy(binCount, zoom, centre, amount, fraction) {
    var n = Math.max(0, Math.floor(binCount))
    var before = visibleBins(n, zoom, centre)
    var f = clamp(isFinite(fraction) ? fraction : 0.5, 0, 1)
    var target = before.left + f * before.count
    var z = clamp(zoom * (1 + (isFinite(amount) ? amount : 0)), 1, maxZoom(n))
    var v = Math.min(n, Math.ceil(n / z))
    var free = n - v
    var c = free > 0 ? clamp((target - f * v) / free, 0, 1) : 0.5
    return { zoom: z, centre: c }
}

// Where the pointer is across the plot: 0 at its left edge, 1 at its right. The axis margins
// are no part of the plot, so the bin under the pointer is the one a zoom keeps in place.
function plotFraction(x, plotLeft, plotWidth) {
    return plotWidth > 0 && isFinite(x) ? clamp((x - plotLeft) / plotWidth, 0, 1) : 0.5
}

// The scroll bar has size 1/z; its position maps onto the centre.
function scrollPosition(zoom, centre) {
    return clamp(centre, 0, 1) * (1 - 1 / Math.max(1, zoom))
}

function centreFromScroll(zoom, position) {
    var free = 1 - 1 / Math.max(1, zoom)
    return free > 0 ? clamp(position / free, 0, 1) : 0.5
}

function present(value) {
    return value !== undefined && value !== null && String(value).trim() !== ""
}

// Gallons per pulse from the meter readings, or NaN when they cannot give one.
function gallonsPerPulse(metaData, totalPulses) {
    if (!metaData)
        return NaN
    var unit = metaData["Meter Reading Unit"], start = metaData["Meter Reading Start"],
        end = metaData["Meter Reading End"]
    if (!present(unit) || !present(start) || !present(end) || !(totalPulses > 0))
        return NaN
    var s = Number(start), e = Number(end)
    if (!isFinite(s) || !isFinite(e) || !(s < e))
        return NaN
    return Units.toGallons((e - s) / totalPulses, String(unit))
}

var displayModes = ["events per second", "gallons per minute", "gallons per second"]
var defaultDisplay = 1

function nextDisplay(mode) {
    return (mode + 1) % displayModes.length
}

// How counts become the display: volume per pulse and flow-unit fraction of a second.
function display(mode, gallonsPerPulseValue) {
    var events = mode === 0 || !(gallonsPerPulseValue > 0) || !isFinite(gallonsPerPulseValue)
    var perMinute = !events && mode === 1
    return {
        volumeScale: events ? 1 : gallonsPerPulseValue,
        flowScale: perMinute ? 1 / 60 : 1,
        volumeLabel: events ? "Events" : "Gallons",
        flowLabel: perMinute ? "per Minute" : "per Second"
    }
}

function axisLabel(d) {
    return d.volumeLabel + " " + d.flowLabel
}

// About three significant digits, never in exponent form.
function sig3(x) {
    if (typeof x !== "number" || !isFinite(x))
        return "???"
    if (Math.abs(x) >= 1000)
        return String(Math.round(x))
    if (x === 0)
        return "0"
    var digits = Math.max(0, 2 - Math.floor(Math.log(Math.abs(x)) / Math.LN10))
    return String(Number(x.toFixed(Math.min(20, digits))))
}

function flowTop(yMax, d, binSeconds) {
    if (!d || !(binSeconds > 0))
        return "???"
    return sig3(yMax * d.volumeScale / (binSeconds * d.flowScale))
}

function intervalText(seconds) {
    if (seconds >= 86400)
        return (seconds / 86400).toFixed(2) + " days"
    if (seconds >= 3600)
        return (seconds / 3600).toFixed(2) + " hours"
    if (seconds >= 60)
        return (seconds / 60).toFixed(2) + " mins"
    return Math.round(seconds) + " secs"
}

// "12.3 Gallons in 10 secs (≈73.8 Gallons per Minute)"
function intervalHeader(pulses, seconds, d) {
    var flow = seconds > 0 ? pulses * d.volumeScale / (seconds * d.flowScale) : NaN
    return sig3(pulses * d.volumeScale) + " " + d.volumeLabel + " in " + intervalText(seconds)
        + " (\u2248" + sig3(flow) + " " + d.volumeLabel + " " + d.flowLabel + ")"
}

// stats: { sum, max, min, bins } over the selected bins.
function selectionLines(stats, binSeconds, d) {
    if (!stats || !(stats.bins > 0))
        return ""
    return "Totals: " + intervalHeader(stats.sum, stats.bins * binSeconds, d) + "\n"
        + "Maximum: " + intervalHeader(stats.max, binSeconds, d) + "\n"
        + "Minimum: " + intervalHeader(stats.min, binSeconds, d)
}
