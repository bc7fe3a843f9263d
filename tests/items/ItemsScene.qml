import QtQuick 2.15
import localdev 1.0

// Every painted item once, as the screens use them. Loaded by the scene test, which feeds the
// decider and the bar graph and saves a screenshot.
Rectangle {
    id: root
    width: 1000
    height: 660
    color: "#1e1e28"

    WrappedEllipticalDecider { id: decider; objectName: "decider" }

    Item {
        LabelledPoint { id: newest; point: Qt.point(10, 1.74); text: "now"; valueText: "1.74" }
        LabelledPoint { id: ring; point: Qt.point(3.2, 0.4); pointType: LabelledPoint.PointType_Circle; text: "min"; labelBelow: false }
        LabelledPoint { id: flag; point: Qt.point(6.4, 1.9); pointType: LabelledPoint.PointType_Flag }
    }

    Gauge { objectName: "gauge"; x: 20; y: 20; width: 200; height: 110; maxValue: 30; value: 18.5 }
    Gauge { objectName: "tallGauge"; x: 240; y: 20; width: 110; height: 200; maxValue: 800; value: 1000; nutColor: "orange" }

    LineGraph {
        id: line
        objectName: "line"
        x: 370; y: 10; width: 610; height: 290
        labelX: "Age (s)"; labelY: "\u0394t inv (s)"
        tickMarksX: 10; tickMarksY: 4; sigFigsY: 2
        autoUpdateXMin: true; autoUpdateXMax: true; autoUpdateYMax: true
        fillColor: "#4000ff00"
        dataPoints: {
            var p = [];
            for (var i = 0; i <= 200; ++i)
                p.push(Qt.point(i / 20, 1 + 0.9 * Math.sin(i / 16)));
            return p;
        }
        // The graph copies the points it is given: hand them over once they hold their values.
        Component.onCompleted: line.labelledPoints = [newest, ring, flag]
    }

    BarGraph {
        objectName: "bars"
        x: 20; y: 320; width: 460; height: 320
        labelX: "Time"; labelY: "Revolutions"
        tickMarksX: 6; tickMarksY: 5; sigFigsX: 0; sigFigsY: 0
        selectionEnabled: true
        selectionStart: 30; selectionEnd: 44
        selectionStartLabel: "10:30"; selectionEndLabel: "10:44"
        selectionHeader: "Totals: 412 L in 14.00 mins\n(\u2248 29.4 L/min)"
    }

    Grid {
        x: 500; y: 320; columns: 2; spacing: 6
        SoftwareRenderer { objectName: "through"; width: 237; height: 157; source: decider; orthogonal: true
                           eyeVector: Qt.vector3d(0, 0, 1); drawAxes: 3; drawPlanes: 1 }
        SoftwareRenderer { objectName: "alongY"; width: 237; height: 157; source: decider; orthogonal: true
                           eyeVector: Qt.vector3d(0, 1, 0); drawAxes: 5; drawPlanes: 2 }
        SoftwareRenderer { objectName: "alongX"; width: 237; height: 157; source: decider; orthogonal: true
                           eyeVector: Qt.vector3d(1, 0, 0); drawAxes: 6; drawPlanes: 4 }
        SoftwareRenderer { objectName: "free"; width: 237; height: 157; source: decider; interactive: true
                           eyeVector: Qt.vector3d(-1, -1, 1).normalized(); drawAxes: 7; drawPlanes: 1 }
    }
}
