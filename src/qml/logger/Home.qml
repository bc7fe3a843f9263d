import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import QtGraphicalEffects 1.15
import localdev 1.0
import "DeviceStatus.js" as DeviceStatus

// The first screen: where the samples come from, how that source is doing, and the way on.
Item {
    id: home

    property Settings settings: globals.settings
    property TarrowindLogger logger: globals.tarrowindLogger
    property real pixelScale: globals.pixelScale

    readonly property bool identified:
        logger.firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    readonly property bool showPicture: DeviceStatus.showLoggerPicture(width - panel.width, height)

    signal trigger(string triggerId)
    onTrigger: globals.globalTrigger(triggerId)

    function pushScreen(document) {
        var component = Qt.createComponent(document)
        if (component.status !== Component.Ready) {
            console.warn("Cannot open " + document + ": " + component.errorString())
            globals.globalMessage(-1, "Not available in this version")
            return
        }
        if (StackView.view)
            StackView.view.push(component)
    }

    RowLayout {
        anchors.centerIn: parent
        spacing: 40 * home.pixelScale

        Pane {
            id: panel
            objectName: "homePanel"
            Material.elevation: 6
            padding: 20 * home.pixelScale

            ColumnLayout {
                spacing: 14 * home.pixelScale

                RowLayout {
                    visible: home.settings.advanced
                    Label { text: "Data Source:" }
                    ComboBox {
                        objectName: "dataSourceBox"
                        model: ["None", "Serial", "Recording Playback"]
                        currentIndex: model.indexOf(home.settings.dataSource)
                        onActivated: home.settings.dataSource = textAt(index)
                        Layout.preferredWidth: 220 * home.pixelScale
                    }
                }

                Loader {
                    objectName: "sourceConfig"
                    source: home.settings.dataSource === "Serial" ? "SerialConfig.qml"
                          : home.settings.dataSource === "Recording Playback" ? "RecordingConfig.qml" : ""
                    visible: status === Loader.Ready
                }
                Loader {
                    objectName: "sourceStatus"
                    source: home.settings.dataSource === "Serial" ? "SerialDeviceStatus.qml"
                          : home.settings.dataSource === "Recording Playback" ? "RecordingStatus.qml"
                          : home.settings.dataSource === "Local Magnetometer" ? "LocalMagnetometerStatus.qml" : ""
                    visible: status === Loader.Ready
                }

                RowLayout {
                    spacing: 10 * home.pixelScale
                    Button {
                        objectName: "variablesButton"
                        text: "Variables"
                        onClicked: home.trigger("logger.variables")
                    }
                    Button {
                        objectName: "visualizationButton"
                        text: "Visualization"
                        visible: home.settings.advanced
                        onClicked: home.pushScreen("EllipticalScreen.qml")
                    }
                    Button {
                        objectName: "deviceLogsButton"
                        text: "Device Logs"
                        onClicked: home.pushScreen("LogIndexScreen.qml")
                    }
                }
            }
        }

        Item {
            id: pictureBox
            objectName: "loggerPicture"
            visible: home.showPicture
            // Rotated a quarter turn: the drawing's width becomes the height.
            Layout.preferredWidth: 200 * home.pixelScale
            Layout.preferredHeight: 400 * home.pixelScale

            Image {
                id: picture
                objectName: "loggerPictureImage"
                source: DeviceStatus.loggerPicture(home.identified, home.logger.firmware.modelType,
                                                   home.logger.firmware.modelRevision)
                sourceSize.width: 400 * home.pixelScale
                sourceSize.height: 200 * home.pixelScale
                anchors.centerIn: parent
                visible: false
            }
            Desaturate {
                id: desaturated
                objectName: "loggerPictureEffect"
                anchors.fill: picture
                source: picture
                desaturation: DeviceStatus.loggerDesaturation(home.identified, home.logger.firmware.modelType)
                visible: false
            }
            DropShadow {
                anchors.fill: desaturated
                source: desaturated
                rotation: 90
                horizontalOffset: 6 * home.pixelScale
                verticalOffset: 6 * home.pixelScale
                radius: 12
                samples: 25
                color: "#c0000000"
            }
        }
    }
}
