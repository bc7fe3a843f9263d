import QtQuick 2.15

// The root document: the shared state for the whole run and the window for this platform.
Item {
    id: root

    Globals {
        id: globals
    }

    Loader {
        id: appLoader
        asynchronous: true
        source: typeof runtime !== "undefined" && runtime && runtime.isMobile ? "MobileApp.qml" : "DesktopApp.qml"
    }

    Connections {
        target: appLoader.item
        ignoreUnknownSignals: true
        function onQuit() { Qt.quit() }
    }
}
