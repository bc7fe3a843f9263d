import QtQuick 2.15
import localdev 1.0

// Every sample of the current source goes to the decider (and to the capture while capturing);
// every decider pulse goes to the live pulse log. Counts the rates the instruments show.
Item {
    id: flow
    visible: false

    property QtObject source: null
    property LocalMagnetometer localMagnetometer: null
    property WrappedEllipticalDecider decider: null
    property PulseLog pulseLog: null
    property FileRecording capture: null
    property bool capturing: false
    // The host services: their monotonic clock times the pulses.
    property QtObject host: null

    property real pointsProcessed: 0
    property real pulsesProcessed: 0
    property real pointsPerSecond: 0
    property real pulsesPerSecond: 0
    property real instantaneousPulsesPerSecond: 0
    property real lastPulseSeconds: -1

    function now() {
        return host ? host.secondsSinceStart() : Date.now() / 1000
    }

    function processSample(sample) {
        decider.addSample(sample)
        pointsProcessed += 1
        if (capturing)
            capture.addSample(sample)
    }

    Connections {
        target: flow.source === flow.localMagnetometer ? null : flow.source
        ignoreUnknownSignals: true
        function onSampleAvailable(sample) { flow.processSample(sample) }
    }
    Connections {
        // The host magnetometer's plain samples carry no time; the decider takes the stamped ones.
        target: flow.source !== null && flow.source === flow.localMagnetometer ? flow.localMagnetometer : null
        function onTimestampedSampleAvailable(sample) { flow.processSample(sample) }
    }
    Connections {
        target: flow.decider
        function onPulsed(timestamp) {
            flow.pulseLog.addPulses(timestamp, 1)
            flow.pulsesProcessed += 1
            var now = flow.now()
            if (flow.lastPulseSeconds >= 0) {
                var dt = now - flow.lastPulseSeconds
                flow.instantaneousPulsesPerSecond = dt > 0 ? Math.min(999.9, 1 / dt) : 999.9
            }
            flow.lastPulseSeconds = now
        }
    }
    Timer {
        property real lastSeconds: -1
        property real lastPoints: 0
        property real lastPulses: 0
        running: true
        repeat: true
        onTriggered: {
            var now = flow.now()
            if (lastSeconds >= 0 && now > lastSeconds) {
                flow.pointsPerSecond = (flow.pointsProcessed - lastPoints) / (now - lastSeconds)
                flow.pulsesPerSecond = (flow.pulsesProcessed - lastPulses) / (now - lastSeconds)
            }
            lastSeconds = now
            lastPoints = flow.pointsProcessed
            lastPulses = flow.pulsesProcessed
        }
    }
}
