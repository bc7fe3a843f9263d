.pragma library
// Stored settings are user data: only values of the expected kind are taken over.

function isPlainObject(v) {
    return v !== null && typeof v === "object" && !Array.isArray(v)
}

function sameKind(defaultValue, value) {
    if (typeof defaultValue === "number")
        return typeof value === "number" && isFinite(value)
    return typeof value === typeof defaultValue
}

// The value `stored` may give a key whose default is `defaultValue`, or undefined when it may
// not. Object values are merged field by field over the default, through a JSON copy.
function acceptedValue(defaultValue, stored) {
    if (stored === undefined || stored === null)
        return undefined
    if (isPlainObject(defaultValue)) {
        if (!isPlainObject(stored))
            return undefined
        var merged = JSON.parse(JSON.stringify(defaultValue))
        var copy = JSON.parse(JSON.stringify(stored))
        for (var field in merged) {
            if (copy.hasOwnProperty(field) && sameKind(merged[field], copy[field]))
                merged[field] = copy[field]
        }
        return merged
    }
    return sameKind(defaultValue, stored) ? stored : undefined
}
