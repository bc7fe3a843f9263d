import QtQuick 2.15
import QtQuick.Controls 2.15
import "MenuTree.js" as MenuTree

// A menu bar built from menu tree items (see MenuTree.js); rebuilt from scratch whenever the
// tree changes. Choosing an item emits its trigger.
MenuBar {
    id: bar

    property var tree: []
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
        var menus = tree || []
        for (var i = 0; i < menus.length; ++i)
            addMenu(buildMenu(menus[i], bar))
    }

    // Menus and items are owned by the menu above them, never by the bar: the bar, a container,
    // would take an item created as its child for one of its own entries and lose it from the menu.
    function buildMenu(node, owner) {
        var menu = menuComponent.createObject(owner, { title: node.text })
        var children = node.children || []
        for (var i = 0; i < children.length; ++i) {
            var child = children[i]
            if (child.children && child.children.length) {
                menu.addMenu(buildMenu(child, menu))
                continue
            }
            var item = itemComponent.createObject(menu, {
                text: child.text,
                triggerId: child.trigger || "",
                enabled: child.enabled === undefined ? true : child.enabled === true
            })
            if (child.icon)
                item.icon.source = child.icon
            menu.addItem(item)
        }
        return menu
    }
}
