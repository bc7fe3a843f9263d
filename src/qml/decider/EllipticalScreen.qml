import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "DeciderRules.js" as DeciderRules

// The live decider: signal strength, the recent revolutions and four views of the samples.
Item {
    id: screen
    objectName: "ellipticalScreen"

    property WrappedEllipticalDecider decider: globals.ellipticalDecider
    property TarrowindLogger logger: globals.tarrowindLogger
    property PulseLog pulseLog: globals.pulseLog
    property Settings settings: globals.settings
    property real pixelScale: globals.pixelScale

    readonly property string headerTitle: DeciderRules.header(decider.status)
    readonly property var menuTreeItems: [
        { text: "&Algorithm", children: [ { text: "&Relearn Params", icon: "", trigger: "ellipse.learn" } ] }
    ]
    readonly property bool ready: logger.firmware.connectionState === TarrowindFirmware.ConnectionState_Ready
    property real windowSeconds: 10
    // Index of the view shown over the whole area, -1 for the grid.
    property int zoomedView: -1

    function relearn() {
        if (DeciderRules.relearnsLocally(settings.dataSource))
            decider.beginLearningParameters()
        else
            logger.firmware.sendLearnAlgorithmParameters()
    }
    function pullParameters() {
        if (ready)
            logger.firmware.sendPullAlgorithmParameters(Network.Elliptical)
    }
    // The points come newest first, each at its age in seconds (0 for the newest).
    function redrawGraph() {
        var points = pulseLog.buildWindowVL(windowSeconds, 0)
        graph.dataPoints = points
        newest.point = points.length > 0 ? points[0] : Qt.point(0, 0)
        // The graph draws its own copies of the marks: hand the moved one over again.
        graph.labelledPoints = [newest]
        graph.minX = 0
        graph.maxX = windowSeconds
    }

    Connections {
        target: globals
        function onGlobalTrigger(triggerId) { if (triggerId === "ellipse.learn") screen.relearn() }
    }
    Connections {
        target: screen.logger.firmware
        function onRecvPullAlgorithmParametersResult(requestId, packetIn) {
            if (!screen.decider.deserialize(packetIn))
                globals.globalMessage(-1, "Algorithm parameter deserialize failed.")
        }
    }
    Connections {
        target: screen.pulseLog
        function onPulseLogChanged() { if (!graphTimer.running) graphTimer.start() }
    }
    Timer {
        id: graphTimer
        interval: 12
        onTriggered: screen.redrawGraph()
    }
    Timer {
        interval: 2000
        repeat: true
        running: screen.ready
        triggeredOnStart: true
        onTriggered: screen.pullParameters()
    }
    Component.onCompleted: redrawGraph()

    RowLayout {
        anchors.fill: parent
        anchors.margins: 10 * screen.pixelScale
        spacing: 10 * screen.pixelScale

        ColumnLayout {
            Layout.fillHeight: true
            Button { objectName: "backButton"; text: "Back"; onClicked: globals.globalTrigger("screen.pop") }
            Label { text: "Est. Signal" }
            Rectangle {
                objectName: "signalBar"
                color: "#303030"
                Layout.fillHeight: true
                Layout.preferredWidth: 28 * screen.pixelScale
                Rectangle {
                    anchors.bottom: parent.bottom
                    width: parent.width
                    height: parent.height * Math.max(0, Math.min(1, screen.decider.signalStrength))
                    color: "#43a047"
                }
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true

            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.maximumHeight: parent.height * 0.35
                LineGraph {
                    id: graph
                    objectName: "revolutionGraph"
                    anchors.fill: parent
                    labelX: "Age (s)"
                    labelY: height > 150 * screen.pixelScale ? "\u0394t inv (s)" : ""
                    lineColor: "#4fc3f7"
                    autoUpdateYMin: false
                    autoUpdateYMax: true
                    minY: 0
                    labelledPoints: [newest]
                    LabelledPoint { id: newest; pointType: LabelledPoint.PointType_Solid; text: "Revolutions per second" }
                }
                MouseArea {
                    anchors.fill: parent
                    acceptedButtons: Qt.NoButton
                    onWheel: {
                        screen.windowSeconds = DeciderRules.windowAfterWheel(screen.windowSeconds, wheel.angleDelta.y)
                        screen.redrawGraph()
                    }
                }
                ToolButton {
                    objectName: "clearPulsesButton"
                    text: "\u232b"
                    anchors.right: parent.right
                    onClicked: screen.pulseLog.clear()
                }
            }

            Item {
                id: area
                Layout.fillWidth: true
                Layout.fillHeight: true
                Repeater {
                    objectName: "deciderViews"
                    model: [
                        { title: "Through", eye: Qt.vector3d(0, 0, 1), axes: 1 | 2, planes: 1, ortho: true },
                        { title: "Along Y", eye: Qt.vector3d(0, 1, 0), axes: 1 | 4, planes: 2, ortho: true },
                        { title: "Along X", eye: Qt.vector3d(1, 0, 0), axes: 2 | 4, planes: 4, ortho: true },
                        { title: "Free View", eye: Qt.vector3d(-1, -1, 1).normalized(), axes: 7, planes: 1, ortho: false }
                    ]
                    delegate: DeciderView {
                        readonly property bool isZoomed: screen.zoomedView === index
                        x: isZoomed ? 0 : (index % 2) * area.width / 2
                        y: isZoomed ? 0 : Math.floor(index / 2) * area.height / 2
                        z: isZoomed ? 1 : 0
                        width: isZoomed ? area.width : area.width / 2
                        height: isZoomed ? area.height : area.height / 2
                        enabled: screen.zoomedView < 0 || isZoomed
                        title: modelData.title
                        source: screen.decider
                        eyeVector: modelData.eye
                        drawAxes: modelData.axes
                        drawPlanes: modelData.planes
                        orthogonal: modelData.ortho
                        interactive: !modelData.ortho
                        zoomed: isZoomed
                        pixelScale: screen.pixelScale
                        onZoomToggled: screen.zoomedView = isZoomed ? -1 : index
                        Behavior on x { NumberAnimation { duration: 200; easing.type: Easing.OutBack } }
                        Behavior on y { NumberAnimation { duration: 200; easing.type: Easing.OutBack } }
                        Behavior on width { NumberAnimation { duration: 200; easing.type: Easing.OutBack } }
                        Behavior on height { NumberAnimation { duration: 200; easing.type: Easing.OutBack } }
                    }
                }
            }
        }
    }
}
