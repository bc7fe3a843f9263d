.pragma library
// The volume units a reading can be given in, and how they convert to gallons.

var table = [
    { name: "Gallons", shown: "Gallons", singular: "gallon", gallons: 1 },
    { name: "CCF", shown: "CCF (Centum Cubic Feet)", singular: "CCF", gallons: 748.0519480519 },
    { name: "CF", shown: "CF (Cubic Feet)", singular: "CF", gallons: 7.480519480519 },
    { name: "Cubic Meters", shown: "Cubic Meters", singular: "cubic meter", gallons: 264.17205236 },
    { name: "Liters", shown: "Liters", singular: "liter", gallons: 0.2641720524 }
]

// As stored (the charts compare against these), and as shown: the stored spelling stays.
var temperatureUnits = ["Fahrenheit", "Celcius"]
var shownTemperatureUnits = ["Fahrenheit", "Celsius"]

function names() {
    return table.map(function (u) { return u.name })
}

function shownNames() {
    return table.map(function (u) { return u.shown })
}

function find(name) {
    for (var i = 0; i < table.length; ++i)
        if (table[i].name === name)
            return table[i]
    return null
}

function indexOf(name) {
    for (var i = 0; i < table.length; ++i)
        if (table[i].name === name)
            return i
    return -1
}

// A stored unit the program does not know falls back to gallons.
function knownOrGallons(name) {
    return find(name) ? name : "Gallons"
}

// The amount in gallons, or NaN for an unknown unit.
function toGallons(amount, name) {
    var u = find(name)
    return u ? amount * u.gallons : NaN
}

function fromGallons(gallons, name) {
    var u = find(name)
    return u ? gallons / u.gallons : NaN
}
