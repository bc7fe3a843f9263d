import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// "Download New": every session not saved before, one after another (the logger's filesystem
// serves one download at a time), with the progress over all of them and a way to stop.
// The screen does the downloading and saving; this walks the list and shows how far it got.
RowLayout {
    id: panel

    property real pixelScale: 1
    property bool canStart: false
    // How many sessions are waiting now, for the button and its caption.
    property int newCount: 0

    // The walk in progress: the sessions, which one runs, and the bytes behind and ahead.
    property var queue: []
    property int position: 0
    property real doneBytes: 0
    property real currentBytes: 0
    property real totalBytes: 0
    readonly property bool running: queue.length > 0
    readonly property real progress: totalBytes > 0 ? Math.min(1, (doneBytes + currentBytes) / totalBytes) : 0

    signal startRequested()
    signal downloadRequested(var session)
    signal cancelRequested()
    signal walkFinished()

    spacing: 10 * pixelScale

    function start(sessions) {
        if (running || !sessions || sessions.length === 0)
            return
        var total = 0
        for (var i = 0; i < sessions.length; ++i)
            total += Number(sessions[i].filesize) || 0
        totalBytes = total
        doneBytes = 0
        currentBytes = 0
        position = 0
        queue = sessions
        downloadRequested(queue[0])
    }

    // One flash record (528 bytes on the flash) of the running session has arrived.
    function recordArrived() {
        if (running)
            currentBytes = Math.min(currentBytes + 528, Number(queue[position].filesize) || 0)
    }

    // The running session ended; `saved` when it downloaded and went to disk. Anything else
    // ends the walk: the next one would meet the same broken line or full disk.
    function sessionEnded(saved) {
        if (!running)
            return
        doneBytes += Number(queue[position].filesize) || 0
        currentBytes = 0
        if (saved && position + 1 < queue.length) {
            position = position + 1
            var next = queue[position]
            // Not from inside the finish signal of the previous download.
            Qt.callLater(function() { if (panel.running && panel.queue[panel.position] === next) panel.downloadRequested(next) })
            return
        }
        stop()
    }

    function stop() {
        queue = []
        walkFinished()
    }

    Button {
        objectName: "downloadNewButton"
        text: "Download New"
        enabled: panel.canStart && !panel.running && panel.newCount > 0
        onClicked: panel.startRequested()
    }
    Label {
        objectName: "downloadNewState"
        text: panel.running ? "Session " + (panel.position + 1) + " of " + panel.queue.length
                            : !panel.canStart ? ""
                            : panel.newCount === 0 ? "Every session has been saved" : panel.newCount + " not saved yet"
    }
    ProgressBar {
        objectName: "downloadNewProgress"
        visible: panel.running
        from: 0
        to: 1
        value: panel.progress
        Layout.fillWidth: true
    }
    Button {
        objectName: "downloadNewCancel"
        text: "Cancel"
        visible: panel.running
        onClicked: {
            panel.cancelRequested()
            panel.stop()
        }
    }
}
