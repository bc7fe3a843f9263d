import QtQuick 2.15

// Stands in for `runtime` where a test needs to choose the ports the host reports and to see
// which repairs were run.
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

    function enumerateSerialPorts() { enumerations += 1 }
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
    function parentFolder(file) { return file.substring(0, file.lastIndexOf("/")) }
}
