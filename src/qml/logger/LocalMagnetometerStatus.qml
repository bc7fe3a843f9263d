import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0

// The host computer's own magnetometer as the data source.
ColumnLayout {
    id: panel

    property LocalMagnetometer magnetometer: globals.localMagnetometer
    property real pixelScale: globals.pixelScale

    readonly property bool running: magnetometer.state === LocalMagnetometer.State_Running

    spacing: 2 * pixelScale

    RowLayout {
        spacing: 8 * panel.pixelScale
        StatusIcon {
            state: panel.magnetometer.error !== "" ? "error" : panel.running ? "good" : "uncertain"
            size: 28 * panel.pixelScale
        }
        Label {
            objectName: "magnetometerStatusTitle"
            text: panel.running ? "Local magnetometer running"
                  : panel.magnetometer.state === LocalMagnetometer.State_Initializing
                    ? "Local magnetometer starting" : "Local magnetometer not started"
            font.bold: true
            font.pixelSize: 16 * panel.pixelScale
        }
    }
    Label {
        visible: panel.running && panel.magnetometer.nativeHz > 0
        text: "Rate: " + panel.magnetometer.nativeHz.toFixed(1) + " hz"
    }
    Label {
        visible: text !== ""
        text: panel.magnetometer.error
        color: "#ef5350"
        wrapMode: Text.Wrap
        Layout.maximumWidth: 480 * panel.pixelScale
    }
}
