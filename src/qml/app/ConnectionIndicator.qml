import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "SerialStatus.js" as SerialStatus

// The connection state in one line: icon, title and the logger's serial number.
RowLayout {
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

    spacing: 6 * pixelScale

    Image {
        id: icon
        source: indicator.status.state === "good" ? "qrc:/icons/check.svg"
              : indicator.status.state === "error" ? "qrc:/icons/error.svg" : "qrc:/icons/alert.svg"
        sourceSize.width: 18 * indicator.pixelScale
        sourceSize.height: 18 * indicator.pixelScale
        Layout.alignment: Qt.AlignVCenter
    }
    Label {
        id: title
        objectName: "connectionTitle"
        text: indicator.status.title
        font.bold: true
        elide: Text.ElideRight
        Layout.alignment: Qt.AlignVCenter
        // The title is the last to shorten, the serial number the first.
        Layout.preferredWidth: Math.min(implicitWidth, Math.max(0, indicator.width - icon.width - indicator.spacing))
    }
    Label {
        objectName: "connectionSerial"
        textFormat: Text.PlainText
        text: SerialStatus.serialNumberText(indicator.serialNumber)
        visible: text !== ""
        opacity: 0.8
        elide: Text.ElideRight
        Layout.alignment: Qt.AlignVCenter
        Layout.preferredWidth: Math.min(implicitWidth, Math.max(0, indicator.width - icon.width - title.implicitWidth
                                                                   - 2 * indicator.spacing))
    }
    // Keeps the texts beside the icon when the bar gives more room than they need.
    Item { Layout.fillWidth: true }
}
