import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.15
import "qrc:/"

// The desktop window around a shared state whose host the test chooses.
TestCase {
    id: testCase
    name: "Window"
    when: windowShown

    Globals {
        id: globals
        host: FakeHost {}
        // The engine's storage starts empty: these are the first settings.
        settings.onlineFirmwareCheck: false
        settings.dataSource: "None"
    }

    Component { id: windowComponent; DesktopApp {} }

    property var window: null

    function initTestCase() {
        window = windowComponent.createObject(testCase)
        verify(window)
        window.visible = true
        waitForRendering(window.contentItem)
    }

    function cleanupTestCase() {
        window.destroy()
    }

    function findChild(item, objectName) {
        if (!item)
            return null
        if (item.objectName === objectName)
            return item
        var children = item.children || []
        for (var i = 0; i < children.length; ++i) {
            var found = findChild(children[i], objectName)
            if (found)
                return found
        }
        return null
    }

    // The visible dialogs of the window (their items live in its overlay).
    function popups() {
        var open = []
        var children = window.overlay.children
        for (var i = 0; i < children.length; ++i)
            if (children[i].title && children[i].visible)
                open.push(children[i])
        return open
    }

    function menuTitles(bar) {
        var titles = []
        for (var i = 0; i < bar.count; ++i)
            titles.push(bar.menuAt(i).title)
        return titles
    }

    // Every menu, opened, shows each of its items (a rebuild once lost them from the menus).
    function verifyMenusShowTheirItems(bar) {
        for (var m = 0; m < bar.count; ++m) {
            var menu = bar.menuAt(m)
            menu.open()
            tryVerify(function () { return menu.opened }, 5000, menu.title)
            for (var i = 0; i < menu.count; ++i) {
                var item = menu.itemAt(i)
                tryVerify(function () { return item.parent === menu.contentItem.contentItem && item.height > 0 },
                          5000, menu.title + " " + item.text)
            }
            menu.close()
            tryVerify(function () { return !menu.visible }, 5000)
        }
    }

    function test_menuBarFollowsModeAndCapture() {
        var bar = findChild(window.menuBar, "appMenuBar")
        verify(bar)
        compare(menuTitles(bar), ["&File", "&Logger", "&Help"])
        compare(bar.menuAt(2).itemAt(0).text, "Save Support Bundle...")
        verifyMenusShowTheirItems(bar)
        globals.settings.advanced = true
        tryCompare(bar, "count", 4)
        compare(bar.menuAt(1).count, 3, "Stats in advanced mode")
        verifyMenusShowTheirItems(bar)
        var capture = bar.menuAt(2)
        compare(capture.itemAt(0).text, "Sta&rt")
        verify(!capture.itemAt(1).enabled)

        capture.itemAt(0).triggered()
        verify(globals.capturing)
        tryVerify(function () { return bar.menuAt(2) && bar.menuAt(2).itemAt(0).text === "Sto&p and Save" })
        verify(bar.menuAt(2).itemAt(1).enabled)
        bar.menuAt(2).itemAt(1).triggered()
        verify(!globals.capturing)
        tryVerify(function () { return bar.menuAt(2).itemAt(0).text === "Sta&rt" })

        globals.settings.advanced = false
        tryCompare(bar, "count", 3)
        verifyMenusShowTheirItems(bar)
    }

    function test_messagesCloseUnlessNegative() {
        var popup = window.messages
        verify(popup)
        globals.globalMessage(1, "Capture saved to x.csv")
        tryVerify(function () { return popup.visible })
        compare(popup.message, "Capture saved to x.csv")
        tryVerify(function () { return !popup.visible }, 30000, "a positive message goes by itself")
        globals.globalMessage(-1, "Failure saving Capture to y.csv")
        tryVerify(function () { return popup.visible })
        wait(2500)
        verify(popup.visible, "a negative message stays until dismissed")
        popup.close()
    }

    function test_settingsTypeDialog() {
        var before = popups().length
        globals.globalTrigger("settings.general")
        var dialog = null
        tryVerify(function () {
            var open = popups()
            for (var i = 0; i < open.length; ++i)
                if (open[i].title === "Software Settings")
                    dialog = open[i]
            return dialog !== null
        })
        fuzzyCompare(dialog.width, window.width * 0.9, 1)
        fuzzyCompare(dialog.height, window.height * 0.9, 1)
        // A drop-down reached with Tab is framed, and the frame moves nothing in the form; the
        // shown "Celsius" stores the charts' "Celcius".
        var box = findChild(dialog.contentItem, "temperatureUnitBox")
        var frame = findChild(dialog.contentItem, "focusFrame")
        var place = box.mapToItem(null, 0, 0)
        box.forceActiveFocus(Qt.TabFocusReason)
        tryVerify(function () { return frame.visible && Math.abs(frame.width - box.width - 6) < 1 })
        compare(box.mapToItem(null, 0, 0), place)
        compare(box.model[1], "Celsius")
        box.activated(1)
        compare(globals.settings.temperatureUnit, "Celcius")
        globals.settings.temperatureUnit = "Fahrenheit"
        keyClick(Qt.Key_Escape)
        tryVerify(function () { return popups().length === before }, 30000, "closed and gone")
    }

    function openedPopup(title) {
        var titled = function () { return popups().filter(function (p) { return p.title === title })[0] }
        tryVerify(titled, 5000, title)
        return titled()
    }

    // The support bundle says what it holds before anything is chosen or written; a failed
    // elevated repair says where its log is.
    function test_supportBundleAndRepairFailureDialogs() {
        var before = popups().length
        globals.globalTrigger("help.supportbundle")
        var confirm = openedPopup("Save Support Bundle")
        var contents = findChild(confirm.contentItem, "supportBundleContents").text
        verify(contents.indexOf("serial numbers") > 0 && contents.indexOf("water-use data") > 0, contents)
        mouseClick(findChild(confirm.footer, "supportBundleCancel"))
        tryVerify(function () { return popups().length === before }, 30000, "cancelled and gone")

        // About names the fonts' licences and where the logs are.
        globals.globalTrigger("help.about")
        var about = findChild(openedPopup("About " + Qt.application.name).contentItem, "aboutText").text
        verify(about.indexOf("SIL Open Font License") > 0 && about.indexOf("Run log and adapter repair log: /nonexistent") > 0,
               about)
        keyClick(Qt.Key_Escape)
        tryVerify(function () { return popups().length === before }, 30000)

        globals.globalTrigger("action.showRepairFailure")
        var failed = openedPopup("Adapter update failed")
        compare(findChild(failed.contentItem, "repairFailedText").text,
                "The adapter's settings could not be changed. Details are in /nonexistent/ftdi-fix.txt.")
        keyClick(Qt.Key_Escape)
        tryVerify(function () { return popups().length === before }, 30000)
    }

    Component { id: busyScreen; Item { property bool busy: true } }

    function test_aBusyScreenIsNotLeft() {
        var stack = findChild(window.contentItem, "screenStack")
        verify(stack)
        var depth = stack.depth
        var screen = stack.push(busyScreen)
        tryCompare(stack, "busy", false)
        // Escape, Back and the menus all go through this trigger.
        globals.globalTrigger("screen.pop")
        window.openLogFile("/nonexistent/any.rlog")
        compare(stack.depth, depth + 1)
        compare(stack.currentItem, screen)
        tryVerify(function () { return window.messages.visible }, 30000, "the refused file is explained")
        window.messages.close()
        screen.busy = false
        globals.globalTrigger("screen.pop")
        tryCompare(stack, "depth", depth)
    }

    property int cancels: 0
    Component {
        id: downloadingScreen
        Item {
            property string runningOperation: "download"
            function cancelRunning() { testCase.cancels += 1 }
        }
    }
    Component { id: flashToolStandIn; Item { objectName: "flashUtilityScreen" } }
    SignalSpy { id: quitSpy; target: testCase.window; signalName: "quit" }

    // The named item of the question on screen: one on its way out may linger a moment.
    function shownInQuestion(objectName) {
        var shown = function (item) {
            if (!item || item.visible === false)
                return null
            if (item.objectName === objectName)
                return item
            var children = item.children || []
            for (var i = 0; i < children.length; ++i) {
                var found = shown(children[i])
                if (found)
                    return found
            }
            return null
        }
        return shown(window.overlay)
    }
    function questionGone(why) {
        tryVerify(function () { return shownInQuestion("confirmQuestion") === null }, 30000, why)
    }

    // A question is asked with the focus already on its safe answer (a key pressed at once keeps
    // the work), answers Return, Enter and Escape without the Escape reaching the screen behind,
    // and gives the focus back so the next Ctrl+Q asks again. The loss takes Tab then Space or
    // a click.
    function test_runningWorkIsNotCutShortUnasked() {
        var stack = findChild(window.contentItem, "screenStack")
        var depth = stack.depth
        var screen = stack.push(downloadingScreen)
        tryCompare(stack, "busy", false)
        window.requestActivate()
        tryVerify(function () { return window.active })
        screen.forceActiveFocus()
        var answers = [Qt.Key_Return, Qt.Key_Enter, Qt.Key_Escape]
        for (var round = 0; round < 100; ++round) {
            var quitting = round % 2 === 0
            keyClick(quitting ? Qt.Key_Q : Qt.Key_Escape, quitting ? Qt.ControlModifier : Qt.NoModifier)
            var why = "round " + round
            var stay = shownInQuestion("confirmStay")
            verify(stay && stay.activeFocus, why)
            compare(shownInQuestion("confirmQuestion").text, quitting
                    ? "A download is in progress. Quitting now loses it."
                    : "A download is in progress. Leave and cancel it?", why)
            keyClick(answers[round % 3])
            questionGone(why)
            verify(screen.activeFocus, why)
        }
        verify(quitSpy.count === 0 && cancels === 0 && stack.currentItem === screen, "all stayed")

        window.close()
        mouseClick(shownInQuestion("confirmGo"))
        questionGone("closing the window asks too")
        compare(quitSpy.count, 1)
        keyClick(Qt.Key_Escape)
        keyClick(Qt.Key_Tab)
        verify(shownInQuestion("confirmGo").activeFocus)
        keyClick(Qt.Key_Space)
        questionGone("left")
        tryCompare(stack, "depth", depth)
        compare(cancels, 1)
        globals.globalTrigger("file.exit")
        verify(quitSpy.count === 2 && shownInQuestion("confirmQuestion") === null, "nothing running: no question")
    }

    function test_theFlashToolIsNeverOpenedTwice() {
        var stack = findChild(window.contentItem, "screenStack")
        var tool = stack.push(flashToolStandIn)
        var depth = stack.depth
        globals.globalTrigger("logger.flashutility")
        globals.globalTrigger("logger.flashutility.now")
        verify(stack.depth === depth && stack.currentItem === tool, "the open tool stays the only one")
        stack.pop()
    }

    function test_unknownAndStateTriggersOpenNothing() {
        var before = popups().length
        globals.globalTrigger("no.such.trigger")
        globals.globalTrigger("capture.startstop")
        globals.globalTrigger("capture.abort")
        wait(100)
        compare(popups().length, before)
        verify(!globals.capturing)
    }

    function test_captureBarAndShortcut() {
        window.requestActivate()
        tryVerify(function () { return window.active })
        keyClick(Qt.Key_R, Qt.ControlModifier)
        verify(globals.capturing)
        var bar = findChild(window.contentItem, "captureBar")
        verify(bar && bar.visible)
        keyClick(Qt.Key_R, Qt.ControlModifier)
        verify(!globals.capturing)
        verify(!bar.visible)
    }
}
