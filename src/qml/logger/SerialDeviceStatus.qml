import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "SerialStatus.js" as SerialStatus
import "DeviceStatus.js" as DeviceStatus
import "Formats.js" as Formats

// The serial connection and the logger behind it: status, identity, firmware, clock, faults.
ColumnLayout {
    id: panel

    property TarrowindLogger logger: globals.tarrowindLogger
    property SerialComm serialComm: globals.serialComm
    property FirmwareMeta onlineFirmware: globals.onlineFirmwareMeta
    property QtObject host: globals.host
    property var serialPorts: host ? host.serialPorts : null
    property bool repairPending: globals.closeSerialPortForUpdate
    property string portSetting: globals.portSetting
    // The flash tool wants the bootloader: there a ready bootloader is the good state.
    property bool wantsBootloader: false
    property real pixelScale: globals.pixelScale

    readonly property TarrowindFirmware firmware: logger.firmware
    readonly property bool ready: firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    readonly property bool connected: firmware.connectionState !== TarrowindFirmware.ConnectionState_Unconnected
    readonly property var status: SerialStatus.status({
        repairPending: repairPending,
        portCount: serialPorts ? Object.keys(serialPorts).length : 0,
        portName: serialComm.serialPort,
        portSetting: portSetting,
        deviceOpen: serialComm.ioDevice !== null,
        lastError: serialComm.lastError,
        lastPortError: serialComm.lastPortError,
        wantsFirmware: logger.targetOperatingMode === TarrowindLogger.OperatingMode_Firmware,
        firmwareState: firmware.connectionState,
        bootloaderState: logger.bootloader.state,
        bootloaderError: logger.bootloader.operationError,
        bootloaderErrorText: logger.bootloader.operationErrorString,
        screenWantsBootloader: wantsBootloader,
        silentLong: silentLong,
        baud: serialComm.baud
    })
    // Past the connection manager's 5 s silence time without an answer on an open port.
    property bool silentLong: false
    readonly property bool searching: serialComm.ioDevice !== null && !connected
    onSearchingChanged: silentLong = false
    Timer {
        interval: 6000
        running: panel.searching && !panel.silentLong
        onTriggered: panel.silentLong = true
    }
    readonly property string serialNumber: {
        var permanents = firmware.permanents256
        return connected && permanents.length > 0 ? firmware.qmlToString(permanents[0]) : ""
    }
    readonly property bool updateAvailable: connected && DeviceStatus.updateAvailable(firmware.firmwareOutdated,
        { major: firmware.majorVersion, minor: firmware.minorVersion, patch: firmware.patchLevelVersion },
        { loaded: onlineFirmware.loadStatus === FirmwareMeta.LoadStatus_Success,
          major: onlineFirmware.major, minor: onlineFirmware.minor, patch: onlineFirmware.patchlevel })
    readonly property int errorFlags: ready && firmware.stats.errorFlags !== undefined ? firmware.stats.errorFlags : 0

    function formatInteger(n) {
        return host && host.localeFormatInteger ? host.localeFormatInteger(n) : String(n)
    }
    function copyToClipboard(text) {
        if (host && host.setClipboard)
            host.setClipboard(text)
    }

    spacing: 4 * pixelScale

    RowLayout {
        spacing: 8 * panel.pixelScale
        StatusIcon {
            objectName: "serialStatusIcon"
            state: panel.status.state
            size: 28 * panel.pixelScale
        }
        ColumnLayout {
            spacing: 0
            Label {
                objectName: "serialStatusTitle"
                text: panel.status.title
                font.bold: true
                font.pixelSize: 16 * panel.pixelScale
            }
            Label {
                objectName: "serialStatusInfo"
                text: panel.status.info
                textFormat: Text.RichText
                visible: text !== ""
                wrapMode: Text.Wrap
                Layout.maximumWidth: 480 * panel.pixelScale
            }
        }
    }

    RowLayout {
        visible: panel.serialNumber !== ""
        Label {
            objectName: "serialNumberText"
            textFormat: Text.PlainText
            text: SerialStatus.serialNumberText(panel.serialNumber)
        }
        IconButton {
            objectName: "copySerialButton"
            iconSource: "qrc:/icons/copy.svg"
            size: 16 * panel.pixelScale
            doneTip: "Serial number copied to clipboard"
            onClicked: panel.copyToClipboard(panel.serialNumber)
        }
    }
    RowLayout {
        visible: panel.connected && panel.serialNumber === ""
        Label {
            objectName: "uniqueIdText"
            textFormat: Text.PlainText
            text: "Unique ID: " + panel.firmware.uniqueId
        }
        IconButton {
            objectName: "copyUniqueIdButton"
            iconSource: "qrc:/icons/copy.svg"
            size: 16 * panel.pixelScale
            doneTip: "Unique ID copied to clipboard"
            onClicked: panel.copyToClipboard(panel.firmware.uniqueId)
        }
    }
    RowLayout {
        visible: panel.connected
        Label { text: "Firmware:" }
        Label {
            objectName: "firmwareVersionText"
            textFormat: Text.PlainText
            text: DeviceStatus.versionText(panel.firmware.majorVersion, panel.firmware.minorVersion,
                                           panel.firmware.patchLevelVersion, panel.firmware.buildType)
            color: panel.updateAvailable ? "#fdd835" : Material.foreground
        }
        Image {
            objectName: "firmwareUpdateIcon"
            visible: panel.updateAvailable
            source: "qrc:/icons/alert.svg"
            sourceSize.width: 16 * panel.pixelScale
            sourceSize.height: 16 * panel.pixelScale
            HoverHandler { id: updateHover }
            ToolTip.visible: updateHover.hovered
            ToolTip.text: "Firmware update available"
        }
    }
    RowLayout {
        visible: panel.ready
        Label {
            objectName: "clockText"
            text: "Clock: " + Formats.usDateTime(panel.firmware.dateTime) + " (Skew: "
                  + Formats.shortDuration(panel.firmware.skewMs / 1000, panel.formatInteger) + ")"
        }
        IconButton {
            objectName: "syncClockButton"
            iconSource: "qrc:/icons/sync.svg"
            size: 16 * panel.pixelScale
            doneTip: "Device clocked synced"
            onClicked: panel.firmware.sendSetDateTime()
        }
    }
    RowLayout {
        visible: panel.ready && panel.errorFlags !== 0
        Image {
            source: "qrc:/icons/alert.svg"
            sourceSize.width: 16 * panel.pixelScale
            sourceSize.height: 16 * panel.pixelScale
        }
        Label {
            objectName: "errorFlagsText"
            text: DeviceStatus.errorFlagsText(panel.errorFlags)
            color: "#fdd835"
        }
    }
}
