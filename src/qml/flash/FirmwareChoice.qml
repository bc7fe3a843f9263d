import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import localdev 1.0
import "FlashRules.js" as FlashRules

// One source of a firmware image: its radio button, what it holds and how it loaded.
ColumnLayout {
    id: choice

    property ButtonGroup group: null
    property alias checked: radio.checked
    property string title: ""
    property FirmwareMeta meta: null
    property string stateText: ""
    property real pixelScale: 1.0
    default property alias extra: extras.data

    signal chosen()

    spacing: 2 * pixelScale

    RadioButton {
        id: radio
        ButtonGroup.group: choice.group
        text: choice.title
        onToggled: if (checked) choice.chosen()
    }
    ColumnLayout {
        Layout.leftMargin: 40 * choice.pixelScale
        spacing: 2 * choice.pixelScale
        RowLayout {
            id: extras
        }
        Label {
            objectName: choice.objectName + "Version"
            textFormat: Text.PlainText
            visible: text !== ""
            text: choice.meta ? FlashRules.versionText(choice.meta.loadStatus, choice.meta.major, choice.meta.minor,
                                                       choice.meta.patchlevel, choice.meta.flags, choice.meta.strings) : ""
        }
        Label {
            objectName: choice.objectName + "State"
            textFormat: Text.PlainText
            text: choice.stateText
            opacity: 0.85
        }
    }
}
