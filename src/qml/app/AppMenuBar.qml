import QtQuick 2.15
import QtQuick.Controls 2.15
import "MenuTree.js" as MenuTree

// A menu bar built from menu tree items (see MenuTree.js); rebuilt from scratch whenever the
// tree changes. Choosing an item emits its trigger.
MenuBar {
    id: bar

    property var tree: []
    // Items belong to the bar (menus are no visual parents); they go with every rebuild.
    property var createdItems: []
    signal triggered(string triggerId)

    Component {
        id: menuComponent
        Menu {
            // As wide as its widest item: the style's fixed width would cut longer entries short.
            width: {
                var widest = implicitWidth
                for (var i = 0; i < count; ++i) {
                    var item = itemAt(i)
                    if (item)
                        widest = Math.max(widest, item.implicitWidth + leftPadding + rightPadding)
                }
                return widest
            }
        }
    }
    Component {
        id: itemComponent
        MenuItem {
            id: menuItem
            property string triggerId: ""
            onTriggered: bar.triggered(triggerId)
            // In an open menu the underlined letter chooses the item, as in a desktop menu.
            Shortcut {
                sequence: MenuTree.mnemonicOf(menuItem.text)
                enabled: sequence !== "" && menuItem.enabled && menuItem.menu !== null && menuItem.menu.opened
                onActivated: menuItem.triggered()
            }
        }
    }

    // Deferred: the tree often changes while one of its own items is being triggered.
    onTreeChanged: Qt.callLater(rebuild)
    Component.onCompleted: rebuild()

    function rebuild() {
        while (count > 0) {
            var old = takeMenu(0)
            if (old)
                old.destroy()
        }
        for (var j = 0; j < createdItems.length; ++j)
            createdItems[j].destroy()
        createdItems = []
        var menus = tree || []
        for (var i = 0; i < menus.length; ++i)
            addMenu(buildMenu(menus[i]))
    }

    function buildMenu(node) {
        var menu = menuComponent.createObject(bar, { title: node.text })
        var children = node.children || []
        for (var i = 0; i < children.length; ++i) {
            var child = children[i]
            if (child.children && child.children.length) {
                menu.addMenu(buildMenu(child))
                continue
            }
            var item = itemComponent.createObject(bar, {
                text: child.text,
                triggerId: child.trigger || "",
                enabled: child.enabled === undefined ? true : child.enabled === true
            })
            if (child.icon)
                item.icon.source = child.icon
            createdItems.push(item)
            menu.addItem(item)
        }
        return menu
    }
}
