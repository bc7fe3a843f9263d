import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import Qt.labs.platform 1.1 as Platform
import localdev 1.0
import "Navigation.js" as Navigation
import "MenuTree.js" as MenuTree
import "WindowRules.js" as WindowRules

ApplicationWindow {
    id: window

    property real pixelScale: globals.pixelScale
    readonly property var currentScreen: stack.currentItem
    readonly property alias messages: messages

    // The user chose to quit (and confirmed it, when work was running).
    signal quit()

    width: 800
    height: 800
    minimumWidth: 200
    minimumHeight: 120
    color: "black"
    Material.theme: Material.Dark
    Material.accent: Material.Red
    title: WindowRules.windowTitle(Qt.application.name, Qt.application.version,
                                   currentScreen ? currentScreen.headerTitle : undefined)

    property bool firstFrameShown: false
    onFrameSwapped: firstFrameShown = true

    onClosing: function (close) {
        close.accepted = false
        requestQuit()
    }
    Component.onCompleted: {
        showMaximized()
        if (globals.tarrowindLogger.firmware)
            globals.checkClockSynchronization()
    }

    menuBar: Rectangle {
        color: "#1c1c1c"
        implicitHeight: Math.max(menus.implicitHeight, instruments.implicitHeight + 4 * window.pixelScale)

        RowLayout {
            anchors.fill: parent
            anchors.rightMargin: 6 * window.pixelScale
            spacing: 12 * window.pixelScale

            AppMenuBar {
                id: menus
                objectName: "appMenuBar"
                tree: MenuTree.menuList(globals.settings.advanced, globals.capturing,
                                        window.currentScreen ? window.currentScreen.menuTreeItems : null)
                onTriggered: globals.globalTrigger(triggerId)
                background: Item {}
                Layout.preferredWidth: contentItem.implicitWidth + leftPadding + rightPadding
            }
            // Takes what the menus and the instruments leave, and shortens its text to fit.
            ConnectionIndicator {
                id: connection
                Layout.fillWidth: true
                Layout.minimumWidth: 0
                Layout.preferredWidth: 0
                Layout.maximumWidth: Number.POSITIVE_INFINITY
            }
            InstrumentPanel {
                id: instruments
            }
        }
    }

    SplitView {
        anchors.fill: parent
        orientation: Qt.Vertical

        StackView {
            id: stack
            objectName: "screenStack"
            SplitView.fillHeight: true
            Component.onCompleted: window.pushFirstScreen()
        }
        Loader {
            id: logPane
            objectName: "logPane"
            // Created only when shown, and never before the window's first frame: the web view
            // takes seconds to start.
            active: globals.settings.showLog && window.firstFrameShown
            visible: active
            source: "LogDisplay.qml"
            SplitView.preferredHeight: 120 * window.pixelScale
        }
        CaptureBar {
            objectName: "captureBar"
            visible: globals.capturing
            SplitView.preferredHeight: implicitHeight
            onTrigger: globals.globalTrigger(triggerId)
        }
    }

    MessagePopup {
        id: messages
        objectName: "messagePopup"
        parent: Overlay.overlay
        pixelScale: window.pixelScale
    }

    Platform.FileDialog {
        id: openLogDialog
        title: "Please choose a file"
        nameFilters: ["Raw Log Files (*.rlog)", "All files (*)"]
        folder: typeof runtime !== "undefined" && runtime
                ? runtime.urlFromLocalFile(globals.settings.logSettings.folder) : ""
        onAccepted: window.openLogFile(runtime.urlToLocalFile(file))
    }

    Platform.FileDialog {
        id: supportBundleDialog
        title: "Save Support Bundle"
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: ["Zip Files (*.zip)", "All files (*)"]
        onAccepted: window.saveSupportBundle(runtime.urlToLocalFile(file))
    }

    SupportBundleWriter {
        id: supportBundle
        objectName: "supportBundleWriter"
        onFinished: success ? globals.globalMessage(1, "Support bundle saved to " + message)
                            : globals.globalMessage(-1, "Could not save the support bundle: " + message)
    }

    Shortcut {
        sequences: ["Esc", "Back"]
        enabled: stack.depth > 1
        onActivated: globals.globalTrigger("screen.pop")
    }
    Shortcut {
        sequences: [StandardKey.FullScreen, "Alt+Return"]
        onActivated: window.visibility === Window.FullScreen ? window.showMaximized() : window.showFullScreen()
    }
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: globals.globalTrigger("file.exit")
    }
    Shortcut {
        sequence: "Ctrl+R"
        onActivated: globals.globalTrigger("capture.startstop")
    }

    Connections {
        target: globals
        function onGlobalTrigger(triggerId) { window.handleTrigger(triggerId) }
        function onGlobalMessage(positivity, message) { messages.show(positivity, message) }
    }

    function handleTrigger(triggerId) {
        var route = Navigation.route(triggerId)
        if (!route)
            return
        switch (route.kind) {
        case "window":
            if (route.action === "exit")
                requestQuit()
            else if (route.action === "pop" && stack.depth > 1 && !screenBusy(stack.currentItem))
                leaveThen(function () { stack.pop() })
            else if (route.action === "openLog")
                openLogDialog.open()
            else if (route.action === "saveSupportBundle")
                askSupportBundle()
            break
        case "dialog":
            openPopup("SettingsTypeDialog.qml", { title: route.title, document: route.document })
            break
        case "popup":
            openPopup(route.document, route.properties)
            break
        case "screen":
            if (route.single && openScreen(route.single)) {
                if (stack.currentItem !== openScreen(route.single))
                    globals.globalMessage(-1, "Already open: finish there first")
                break
            }
            var offer = Navigation.offerBefore(route, globals.firmwareReady)
            if (offer !== "")
                openPopup(offer, {})
            else
                leaveThen(function () { pushScreen(route.document, {}) })
            break
        }
    }

    function openPopup(document, properties) {
        var component = Qt.createComponent(document)
        if (component.status !== Component.Ready) {
            console.warn("Cannot open " + document + ": " + component.errorString())
            return null
        }
        var popup = component.createObject(Overlay.overlay, properties)
        popup.open()
        return popup
    }

    function pushScreen(document, properties) {
        var component = Qt.createComponent(document)
        if (component.status !== Component.Ready) {
            console.warn("Cannot open " + document + ": " + component.errorString())
            globals.globalMessage(-1, "Not available in this version")
            return null
        }
        return stack.push(component, properties)
    }

    // A screen in the middle of work (a firmware being written) is not left by Escape, a menu
    // or an opened file: its Back button is disabled for the same reason.
    function screenBusy(item) {
        return !!item && item.busy === true
    }

    function openScreen(objectName) {
        return stack.find(function (item) { return item.objectName === objectName })
    }

    // What the screens are running that must not be cut short.
    function runningOperations() {
        var running = []
        for (var i = 0; i < stack.depth; ++i) {
            var item = stack.get(i, StackView.DontLoad)
            if (item && item.runningOperation)
                running.push(item.runningOperation)
        }
        return running
    }

    function confirm(question, goText, stayText, action) {
        var dialog = openPopup("ConfirmDialog.qml", { objectName: "confirmDialog", question: question,
                                                      goText: goText, stayText: stayText })
        if (dialog) {
            dialog.go.connect(action)
            dialog.closed.connect(dialog.destroy)
        }
    }

    function requestQuit() {
        var question = WindowRules.quitQuestion(runningOperations())
        if (question === "")
            window.quit()
        else
            confirm(question, "Quit anyway", "Keep running", function () { window.quit() })
    }

    // Runs `action`, which leaves the current screen, once the user agrees to what it cuts short.
    function leaveThen(action) {
        var current = stack.currentItem
        var question = WindowRules.leaveQuestion(current ? current.runningOperation : "")
        if (question === "")
            action()
        else
            confirm(question, "Leave", "Stay", function () {
                if (current.cancelRunning)
                    current.cancelRunning()
                action()
            })
    }

    function anyScreenBusy() {
        return stack.find(function (item) { return screenBusy(item) }) !== null
    }

    function pushFirstScreen() {
        var home = Qt.createComponent("Home.qml")
        if (home.status === Component.Ready)
            stack.push(home)
    }

    // First what the bundle holds, then where it goes.
    function askSupportBundle() {
        if (supportBundle.busy)
            return
        var confirm = openPopup("SupportBundleDialog.qml", {})
        if (confirm)
            confirm.accepted.connect(chooseSupportBundleFile)
    }

    function chooseSupportBundleFile() {
        if (supportBundle.busy)
            return
        var folder = globals.settings.logSettings.folder
        supportBundleDialog.folder = runtime.urlFromLocalFile(folder)
        supportBundleDialog.open()
        // The widget dialog takes a selection only once it exists.
        supportBundleDialog.currentFile = runtime.urlFromLocalFile(folder + "/" + WindowRules.supportBundleName(new Date()))
    }

    // The snapshot is taken here; the writer does the file work off this thread.
    function saveSupportBundle(path) {
        if (!supportBundle.save(path, globals.settings.toJson(), runtime.serialPorts, globals.tarrowindLogger.firmware))
            globals.globalMessage(-1, "A support bundle is already being saved")
    }

    // A raw log in its own viewer, on top of the first screen.
    function openLogFile(path) {
        var viewer = Qt.createComponent("PulseLogViewer.qml")
        if (viewer.status !== Component.Ready) {
            console.warn("Cannot open the log viewer: " + viewer.errorString())
            return
        }
        if (anyScreenBusy()) {
            globals.globalMessage(-1, "Busy: open the log when the current operation has finished")
            return
        }
        leaveThen(function () { showLogFile(viewer, path) })
    }

    function showLogFile(viewer, path) {
        stack.pop(null)
        var screen = stack.push(viewer, { fullFilename: path })
        if (!screen.pulseLog)
            screen.pulseLog = pulseLogComponent.createObject(screen)
        if (!screen.pulseLog.load(path)) {
            stack.pop()
            globals.globalMessage(-1, "Could not read the log file " + path)
        }
    }

    Component {
        id: pulseLogComponent
        PulseLog {}
    }
}
