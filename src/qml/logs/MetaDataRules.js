.pragma library
// Which metadata rows the editor shows, in which order and with which editor.

function kindOf(key) {
    if (key === "Meter Make")
        return "make"
    if (key === "Meter Reading Unit")
        return "unit"
    if (key === "Meter Reading Start" || key === "Meter Reading End")
        return "reading"
    return "text"
}

// The fixed fields in their order, then the others sorted without regard to case.
function rows(fixedNames, metaData) {
    var fixed = fixedNames || []
    var out = fixed.map(function (k) { return { key: k, fixed: true, kind: kindOf(k) } })
    var others = Object.keys(metaData || {}).filter(function (k) { return fixed.indexOf(k) < 0 })
    others.sort(function (a, b) {
        var la = a.toLowerCase(), lb = b.toLowerCase()
        return la < lb ? -1 : la > lb ? 1 : (a < b ? -1 : a > b ? 1 : 0)
    })
    return out.concat(others.map(function (k) { return { key: k, fixed: false, kind: kindOf(k) } }))
}

function exists(metaData, fixedNames, name) {
    var n = String(name).trim().toLowerCase()
    var all = Object.keys(metaData || {}).concat(fixedNames || [])
    return all.some(function (k) { return k.toLowerCase() === n })
}
