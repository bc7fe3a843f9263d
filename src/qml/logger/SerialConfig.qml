import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "PortList.js" as PortList

// The serial port: "Auto" (the first adapter recognised as ours), a listed port, or any name
// typed in.
GroupBox {
    id: box

    property Settings settings: globals.settings
    property QtObject host: globals.host
    property real pixelScale: globals.pixelScale

    readonly property string storedPort: settings.serialSettings.port
    // A port given with --port wins over the stored one for this run: the box shows it, fixed.
    property string portOverride: globals.portOverride
    readonly property string shownPort: portOverride !== "" ? portOverride : storedPort
    property var entries: PortList.entries(host ? host.serialPorts : null)

    title: "Serial Configuration"

    function store(text) {
        var value = PortList.storedValue(text)
        if (value !== storedPort)
            settings.setField("serialSettings", "port", value)
    }

    // Shows the stored choice; a typed port that is not listed stays as typed.
    function reselect() {
        var index = PortList.selectedIndex(entries, shownPort)
        portBox.currentIndex = index
        if (index < 0)
            portBox.editText = shownPort
    }

    function refresh() {
        if (host && host.enumerateSerialPorts)
            host.enumerateSerialPorts()
    }

    onEntriesChanged: reselect()
    onShownPortChanged: if (!portBox.activeFocus) reselect()
    Component.onCompleted: {
        reselect()
        refresh()
    }

    Connections {
        target: box.host
        ignoreUnknownSignals: true
        function onSerialPortsChanged() { box.entries = PortList.entries(box.host.serialPorts) }
    }

    ColumnLayout {
        RowLayout {
            spacing: 8 * box.pixelScale
            Label { text: "Port:" }
            ComboBox {
                id: portBox
                objectName: "serialPortBox"
                editable: true
                enabled: box.portOverride === ""
                model: box.entries
                Layout.preferredWidth: 420 * box.pixelScale
                onActivated: box.store(textAt(index))
                onAccepted: box.store(editText)
                // Adapter names are the adapters' own: the list shows them as text.
                delegate: ItemDelegate {
                    width: portBox.width
                    highlighted: portBox.highlightedIndex === index
                    contentItem: Label { text: modelData; textFormat: Text.PlainText; elide: Text.ElideRight }
                }
                // Typed text counts when the box is left; a shown entry is stored only when chosen.
                onActiveFocusChanged: {
                    if (!activeFocus && editText !== (currentIndex >= 0 ? textAt(currentIndex) : box.storedPort))
                        box.store(editText)
                }
            }
            IconButton {
                objectName: "refreshPortsButton"
                iconSource: "qrc:/icons/refresh.svg"
                size: 20 * box.pixelScale
                onClicked: box.refresh()
                ToolTip.visible: hovered
                ToolTip.text: "Refresh"
            }
        }
        Label {
            objectName: "portOverrideNote"
            visible: box.portOverride !== ""
            text: "Given on the command line (--port)"
            opacity: 0.7
        }
    }
}
