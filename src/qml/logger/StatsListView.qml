import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "Stats.js" as Stats

// The logger's statistics, one row each, with a verdict icon where a value tells of trouble.
ListView {
    id: list

    property TarrowindLogger logger: globals.tarrowindLogger
    property QtObject host: globals.host
    property real pixelScale: globals.pixelScale

    function formatInteger(n) {
        return host && host.localeFormatInteger ? host.localeFormatInteger(n) : String(n)
    }

    // Fetched when shown; the list follows every later answer.
    Component.onCompleted: {
        if (logger.firmware.connectionState === TarrowindFirmware.ConnectionState_Ready)
            logger.firmware.sendGetStats()
    }

    model: Stats.rows(logger.firmware.stats, formatInteger)
    clip: true
    spacing: 2 * pixelScale
    ScrollBar.vertical: ScrollBar {}

    delegate: RowLayout {
        width: list.width
        spacing: 8 * list.pixelScale
        Image {
            source: modelData.verdict === "alert" ? "qrc:/icons/alert.svg"
                  : modelData.verdict === "check" ? "qrc:/icons/check.svg" : ""
            sourceSize.width: 16 * list.pixelScale
            sourceSize.height: 16 * list.pixelScale
            Layout.preferredWidth: 16 * list.pixelScale
        }
        Label {
            text: modelData.text
            Layout.fillWidth: true
        }
    }

    Label {
        anchors.centerIn: parent
        visible: list.count === 0
        text: "No statistics (the logger is not connected)"
        opacity: 0.7
    }
}
