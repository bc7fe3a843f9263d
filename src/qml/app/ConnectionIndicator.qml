import QtQuick 2.15
import QtQuick.Controls 2.15
import localdev 1.0
import "SerialStatus.js" as SerialStatus

// The connection state in one line: icon, title and the logger's serial number.
Item {
    id: indicator

    property TarrowindLogger logger: globals.tarrowindLogger
    property SerialComm serialComm: globals.serialComm
    property var serialPorts: globals.host ? globals.host.serialPorts : null
    property bool repairPending: globals.closeSerialPortForUpdate
    property string portSetting: globals.portSetting
    property real pixelScale: globals.pixelScale

    readonly property bool firmwareReady:
        logger.firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    readonly property var status: SerialStatus.status({
        repairPending: repairPending,
        portCount: serialPorts ? Object.keys(serialPorts).length : 0,
        portName: serialComm.serialPort,
        portSetting: portSetting,
        deviceOpen: serialComm.ioDevice !== null,
        lastError: serialComm.lastError,
        lastPortError: serialComm.lastPortError,
        wantsFirmware: logger.targetOperatingMode === TarrowindLogger.OperatingMode_Firmware,
        firmwareState: logger.firmware.connectionState,
        bootloaderState: logger.bootloader.state,
        bootloaderError: logger.bootloader.operationError,
        bootloaderErrorText: logger.bootloader.operationErrorString,
        screenWantsBootloader: logger.targetOperatingMode === TarrowindLogger.OperatingMode_Bootloader
    })
    readonly property string serialNumber: {
        if (!firmwareReady)
            return ""
        var permanents = logger.firmware.permanents256
        return permanents.length > 0 ? logger.firmware.qmlToString(permanents[0]) : ""
    }

    readonly property real spacing: 6 * pixelScale

    // Placed by hand, not by a layout: the texts' widths follow the width the bar gives, and a
    // layout inside a layout binding to its own width rearranges itself without end.
    implicitWidth: serial.x + serial.implicitWidth
    implicitHeight: Math.max(icon.height, title.implicitHeight)

    Image {
        id: icon
        source: indicator.status.state === "good" ? "qrc:/icons/check.svg"
              : indicator.status.state === "error" ? "qrc:/icons/error.svg" : "qrc:/icons/alert.svg"
        sourceSize.width: 18 * indicator.pixelScale
        sourceSize.height: 18 * indicator.pixelScale
        anchors.verticalCenter: parent.verticalCenter
    }
    Label {
        id: title
        objectName: "connectionTitle"
        text: indicator.status.title
        font.bold: true
        elide: Text.ElideRight
        anchors.verticalCenter: parent.verticalCenter
        x: icon.width + indicator.spacing
        // The title is the last to shorten, the serial number the first.
        width: Math.min(implicitWidth, Math.max(0, indicator.width - x))
    }
    Label {
        id: serial
        objectName: "connectionSerial"
        textFormat: Text.PlainText
        text: SerialStatus.serialNumberText(indicator.serialNumber)
        visible: text !== ""
        opacity: 0.8
        elide: Text.ElideRight
        anchors.verticalCenter: parent.verticalCenter
        x: title.x + title.implicitWidth + indicator.spacing
        width: Math.min(implicitWidth, Math.max(0, indicator.width - x))
    }
}
