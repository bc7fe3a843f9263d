.pragma library
// The live decider view's texts and its rolling window.

var statusNames = ["Not Ready", "Learning", "Running", "Running (background learning)"]

function header(status) {
    return "Ellipse Algo: " + (status >= 0 && status < statusNames.length ? statusNames[status] : statusNames[0])
}

// One wheel notch (120) changes the window by a factor of 1.1, kept within 1 s .. 3 h.
function windowAfterWheel(seconds, angleDelta) {
    var w = seconds * Math.pow(1.1, -angleDelta / 120)
    return Math.min(10800, Math.max(1, isFinite(w) ? w : 10))
}

// Local sources relearn here; a serial logger is told to relearn itself.
function relearnsLocally(dataSource) {
    return dataSource !== "Serial"
}
