import QtQuick 2.15
import QtQuick.Controls 2.15
import QtWebView 1.1

// The program's log as it is written. Lines reach the page in batches so that a burst of
// messages costs one script call per frame, not one per line.
Item {
    id: pane
    objectName: "logDisplay"

    property QtObject logSource: typeof log !== "undefined" ? log : null
    property var pendingLines: []
    // The page's script exists only once the page has finished loading.
    property bool pageReady: false

    function reload() {
        pendingLines = []
        pageReady = false
        var html = typeof runtime !== "undefined" && runtime ? runtime.loadFileAsString(":LogDisplay.html") : ""
        view.loadHtml(html, "qrc:/")
    }

    // Once the page can take lines, it starts with what was logged before it (or since Clear).
    onPageReadyChanged: {
        if (!pageReady)
            return
        pendingLines = logSource && logSource.backlog ? logSource.backlog() : []
        flush()
    }

    function flush() {
        if (pendingLines.length === 0 || !pageReady)
            return
        var script = ""
        for (var i = 0; i < pendingLines.length; ++i)
            script += "writeEscaped('" + escape(pendingLines[i]) + "');"
        pendingLines = []
        view.runJavaScript(script)
    }

    WebView {
        id: view
        objectName: "logView"
        anchors.fill: parent
        Component.onCompleted: pane.reload()
        onLoadingChanged: pane.pageReady = loadRequest.status === WebView.LoadSucceededStatus
    }

    Connections {
        target: pane.logSource
        function onLogMessage(severity, message) {
            // Lines that arrive while the page loads come with the backlog.
            if (!pane.pageReady)
                return
            pane.pendingLines.push(message)
            flushTimer.start()
        }
    }

    Timer {
        id: flushTimer
        interval: 30
        onTriggered: pane.flush()
    }

    ToolButton {
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.rightMargin: 16
        text: "Clear"
        opacity: hovered ? 1.0 : 0.5
        onClicked: {
            if (pane.logSource && pane.logSource.clearBacklog)
                pane.logSource.clearBacklog()
            pane.reload()
        }
    }
}
