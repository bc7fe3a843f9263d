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

// The value `stored` may give a key whose default is `defaultValue` and whose value is now
// `current`, or undefined when it may not. Object values are merged field by field over the
// current one, through a JSON copy; fields are checked against the default's.
function acceptedValue(defaultValue, current, stored) {
    if (stored === undefined || stored === null)
        return undefined
    if (isPlainObject(defaultValue)) {
        if (!isPlainObject(stored))
            return undefined
        var merged = JSON.parse(JSON.stringify(isPlainObject(current) ? current : defaultValue))
        var copy = JSON.parse(JSON.stringify(stored))
        for (var field in defaultValue) {
            if (copy.hasOwnProperty(field) && sameKind(defaultValue[field], copy[field]))
                merged[field] = copy[field]
        }
        return merged
    }
    return sameKind(defaultValue, stored) ? stored : undefined
}
