import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0

// The live rotation at a glance; the rotation dials only while the decider runs.
RowLayout {
    id: panel
    objectName: "instrumentPanel"

    property WrappedEllipticalDecider decider: globals.ellipticalDecider
    property real pulsesPerSecond: globals.pulsesPerSecond
    property real instantaneousPulsesPerSecond: globals.instantaneousPulsesPerSecond
    property real pointsPerSecond: globals.pointsPerSecond
    property real pixelScale: globals.pixelScale

    readonly property bool deciderRunning: decider.status === WrappedDecider.DeciderStatus_Running
                                           || decider.status === WrappedDecider.DeciderStatus_RunningBackgroundLearning
    readonly property real dialSize: 40 * pixelScale

    spacing: 6 * pixelScale

    RowLayout {
        spacing: panel.spacing
        opacity: panel.deciderRunning ? 1 : 0
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 120 } }

        PhaseCircle {
            angleRadians: panel.decider.angleRadians
            count: panel.decider.pulseCount
            Layout.preferredWidth: panel.dialSize
            Layout.preferredHeight: panel.dialSize
        }
        InstrumentDial {
            maxValue: 30
            value: panel.pulsesPerSecond
            decimals: 2
            tip: "Revolutions/Sec (2s Avg)"
            Layout.preferredWidth: panel.dialSize
            Layout.preferredHeight: panel.dialSize
        }
        InstrumentDial {
            maxValue: 30
            value: panel.instantaneousPulsesPerSecond
            decimals: 2
            tip: "Revolutions/Sec (Instantaneous)"
            Layout.preferredWidth: panel.dialSize
            Layout.preferredHeight: panel.dialSize
        }
    }
    Label {
        text: "Points/s"
        opacity: 0.8
        Layout.alignment: Qt.AlignVCenter
    }
    InstrumentDial {
        objectName: "pointsDial"
        maxValue: 800
        value: panel.pointsPerSecond
        decimals: 1
        tip: "Points/Sec (2s Avg)"
        Layout.preferredWidth: panel.dialSize
        Layout.preferredHeight: panel.dialSize
    }
}
