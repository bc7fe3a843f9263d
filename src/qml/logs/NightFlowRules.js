.pragma library
.import "ViewerRules.js" as ViewerRules
// The night-flow table's texts and the leak marks' placement. Night flows are hourly pulse sums:
// in the viewer's flow display when it shows a volume, else in revolutions per hour.

function showsVolume(d) {
    return !!d && d.volumeLabel !== "Events"
}

function unitLabel(d) {
    return showsVolume(d) ? d.volumeLabel + " " + d.flowLabel : "Revolutions per Hour"
}

// The number alone, in unitLabel(d).
function flowValue(hourlyPulses, d) {
    if (!(hourlyPulses >= 0))
        return "???"
    if (!showsVolume(d))
        return String(hourlyPulses)
    return ViewerRules.sig3(hourlyPulses * d.volumeScale / (3600 * d.flowScale))
}

// The part of the visible bins [view.left, view.right) that a stretch [startBin, endBin) covers,
// as fractions of the visible width; null when it is not in view.
function markSpan(startBin, endBin, view) {
    if (!view || !(view.count > 0) || !isFinite(startBin) || !isFinite(endBin))
        return null
    var l = Math.max(startBin, view.left), r = Math.min(endBin, view.right)
    if (!(r > l))
        return null
    return { from: (l - view.left) / view.count, to: (r - view.left) / view.count }
}
