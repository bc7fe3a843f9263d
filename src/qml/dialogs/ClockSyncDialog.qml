import QtQuick 2.15
import QtQuick.Controls 2.15
import localdev 1.0

// Asks before the logger's clock is set to the host's.
Dialog {
    id: dialog

    property TarrowindFirmware firmware: globals.tarrowindLogger.firmware

    readonly property real skewSeconds: Math.abs(firmware.skewMs) / 1000

    title: "Synchronize?"
    modal: true
    // Escape closes a popup only while it has the focus.
    focus: true
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 3 : 0
    closePolicy: Popup.CloseOnEscape

    Label {
        objectName: "clockSyncText"
        text: "The connected logger's clock is off by roughly "
              + (typeof runtime !== "undefined" && runtime ? runtime.localeFormatDouble(dialog.skewSeconds, 1)
                                                           : dialog.skewSeconds.toFixed(1))
              + " seconds."
        wrapMode: Text.Wrap
    }

    footer: DialogButtonBox {
        Button {
            text: "Synchronize"
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
        Button {
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }

    onAccepted: globals.synchronizeClock()
    onClosed: destroy()

    Connections {
        target: dialog.firmware
        function onConnectionStateChanged() {
            if (dialog.firmware.connectionState !== TarrowindFirmware.ConnectionState_Ready)
                dialog.reject()
        }
    }
}
