import QtQuick 2.15

// Stands in for `runtime` where a test needs to choose the ports the host reports and to see
// which repairs were run. It has everything the real host offers (the Globals test checks).
QtObject {
    property var serialPorts: ({})
    property bool enumeratingSerialPorts: false
    property bool isFactoryBuild: false
    property string logFolder: "/nonexistent/logs"
    property int enumerations: 0
    property var eepromCalls: []
    property var elevatedCalls: []
    property bool eepromResult: true
    property bool elevatedResult: true

    property bool isMobile: false

    function enumerateSerialPorts() { enumerations += 1 }
    function replaceDotExt(file, replacement) { return file.replace(/\.[^./]*$/, "") + replacement }
    function pathFromFile(file) { return file.replace(/\/[^/]*$/, "") }
    function filenameFromFile(file) { return file.replace(/^.*\//, "") }
    function parentFolder(file) { return pathFromFile(file) }
    // Nothing the fake names exists on disk, so no path is a file.
    function parentFolderIfFile(file) { return file }
    function urlFromLocalFile(file) { return "file://" + file }
    function urlToLocalFile(url) { return String(url).replace(/^file:\/\//, "") }
    function localeFormatInteger(value) { return Number(value).toFixed(0) }
    function localeFormatDouble(value, precision) { return Number(value).toFixed(Math.max(0, precision)) }
    function loadFileAsString(url) { return "" }
    function requestReadPermissions() { return true }
    function requestWritePermissions() { return true }
    function setClipboard(text) {}
    // Runs nothing: a command that did not start.
    function executeSystemCommand(command) { return -1 }
    function fireAndForgetSystemCommand(command) { return false }
    function secondsSinceStart() { return Date.now() / 1000 }
    function defaultLogFolder() { return logFolder }
    function defaultFlashFolder() { return "/nonexistent/flash" }
    function findUnusedFileName(name) { return name }
    function updateEeprom(port, serial) {
        eepromCalls = eepromCalls.concat([port + "|" + serial])
        return eepromResult
    }
    function elevatedFtdiFix(path) {
        elevatedCalls = elevatedCalls.concat([path])
        return elevatedResult
    }
    function repairLogPath() { return "/nonexistent/ftdi-fix.txt" }
}
