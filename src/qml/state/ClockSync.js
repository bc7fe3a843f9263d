.pragma library
// Whether a logger that just became ready gets the host's time.

// A device synchronised this recently is left alone (a reconnect right after a sync).
var recentSyncMs = 5000

// s: blocked, ready, mode, uniqueId, lastSyncId, lastSyncMs (negative: never), nowMs,
//    skewMs (logger minus host), askSeconds. Returns "none", "sync" or "ask".
function decide(s) {
    if (s.blocked || !s.ready)
        return "none"
    if (s.lastSyncMs >= 0 && s.uniqueId === s.lastSyncId && s.nowMs - s.lastSyncMs < recentSyncMs)
        return "none"
    if (s.mode === "Always")
        return "sync"
    if (s.mode === "Ask") {
        var skewSeconds = Math.abs(Number(s.skewMs)) / 1000
        var limit = Number(s.askSeconds)
        if (!isFinite(skewSeconds))
            return "ask"
        return skewSeconds < limit ? "sync" : "ask"
    }
    return "none"
}
