import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.15
import localdev 1.0
import "qrc:/"
import "qrc:/LogFiles.js" as LogFiles
import "qrc:/Markup.js" as Markup

// The screens' own rules against a shared state without a logger.
TestCase {
    id: testCase
    name: "Screens"
    when: windowShown
    width: 1200
    height: 900

    Globals {
        id: globals
        host: FakeHost {
            serialPorts: ({
                "/dev/ttyUSB1": { manufacturer: "FTDI", product: "Tarrowind Adapter", autodetectedTarrowind: true },
                "/dev/ttyS0": {}
            })
            function urlToLocalFile(url) { return String(url).replace(/^file:\/\//, "") }
            function urlFromLocalFile(path) { return "file://" + path }
            function parentFolder(path) { return path.substring(0, path.lastIndexOf("/")) }
        }
        settings.onlineFirmwareCheck: false
    }

    Component { id: serialConfig; SerialConfig {} }
    Component { id: variables; VariablesScreen { width: 900; height: 700 } }
    Component { id: flashTool; FlashUtilityScreen { width: 900; height: 700 } }
    Component { id: sessionRow; SessionDelegate { width: 900 } }
    Component { id: plainReference; Text { textFormat: Text.PlainText } }
    Component { id: libraryScreen; LibraryScreen { width: 900; height: 700 } }

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

    // A logger's names reach the screen as the characters they are: markup in them is neither
    // drawn nor followed (an image would take the width of the picture, not of its source text).
    function test_outsideTextShowsLiterally() {
        var name = LogFiles.sessionFileName("Meter 7", 3, "<img src=\"qrc:/icons/check.svg\">", 1)
        var row = createTemporaryObject(sessionRow, testCase, { fileName: name, savedPath: "/logs/" + name })
        var label = findChild(row, "sessionFileName")
        var literal = createTemporaryObject(plainReference, testCase, { text: name, font: label.font })
        compare(label.contentWidth, literal.contentWidth)
        // A tool tip guesses the format on its own: the path given to it still reads as written.
        var tip = createTemporaryObject(plainReference, testCase, { textFormat: Text.AutoText, font: label.font,
                                                                    text: Markup.styled("Saved as " + row.savedPath) })
        literal.text = "Saved as " + row.savedPath
        compare(tip.contentWidth, literal.contentWidth)
    }

    // The library's error and location are text from a server or a setting, shown as written.
    function test_libraryTextShowsLiterally() {
        var markup = "<img src=\"qrc:/icons/check.svg\">"
        var before = globals.settings.libraryFile
        globals.settings.libraryFile = "/proc/" + markup + "/library.sqlite"
        var screen = createTemporaryObject(libraryScreen, testCase, { library: globals.library })
        var error = findChild(screen, "libraryError")
        tryVerify(function() { return error.text.indexOf(markup) >= 0 }, 20000)
        var shown = [error, findChild(screen, "libraryLocation")]
        for (var i = 0; i < shown.length; ++i) {
            var literal = createTemporaryObject(plainReference, testCase, { text: shown[i].text, font: shown[i].font })
            compare(shown[i].implicitWidth, literal.implicitWidth, shown[i].objectName)
        }
        globals.settings.libraryFile = before
    }

    function test_serialPortChoice() {
        globals.settings.setField("serialSettings", "port", "")
        var config = createTemporaryObject(serialConfig, testCase)
        var box = findChild(config, "serialPortBox")
        compare(box.currentText, "Auto")
        compare(box.count, 3)

        // A described entry stores its port name only.
        box.currentIndex = 2
        box.activated(2)
        compare(globals.settings.serialSettings.port, "/dev/ttyUSB1")
        box.currentIndex = 0
        box.activated(0)
        compare(globals.settings.serialSettings.port, "Auto")

        // A typed port that is not listed stays as typed, also when the list changes.
        box.editText = "/tmp/virtual-logger extra words"
        box.accepted()
        compare(globals.settings.serialSettings.port, "/tmp/virtual-logger")
        globals.host.serialPorts = { "/dev/ttyS0": {}, "/dev/ttyACM3": { product: "Modem" } }
        compare(box.count, 3)
        compare(box.currentIndex, -1)
        compare(box.editText, "/tmp/virtual-logger")
        compare(globals.settings.serialSettings.port, "/tmp/virtual-logger")

        // Auto in any case selects "Auto".
        globals.settings.setField("serialSettings", "port", "auto")
        compare(box.currentIndex, 0)
        verify(globals.host.enumerations > 0, "the box asks for the ports when it appears")
    }

    function test_variablesWithoutALogger() {
        var screen = createTemporaryObject(variables, testCase)
        verify(!screen.enabled)
        var commitField = findChild(screen, "field_commitMinutes")
        compare(commitField.text, "Auto")
        var duration = findChild(screen, "field_pulseDuration")
        compare(duration.text, "0.00")
        verify(!duration.parent.dirty)

        duration.text = "1.5"
        verify(duration.parent.dirty)
        compare(findChild(screen, "dirty_pulseDuration").text, "", "no marks on a screen that cannot commit")
        verify(screen.anyDirty)
        duration.text = "655.36"
        verify(!screen.allValid)
        duration.text = "0"
        verify(!duration.parent.dirty)

        // Nothing is written to a logger that is not there.
        findChild(screen, "field_deviceName").text = "Pump house"
        verify(!findChild(screen, "commitPersistentsButton").enabled)
        verify(!screen.commit())
        compare(globals.tarrowindLogger.firmware.deviceName, "")
    }

    function writeImage(withDigest) {
        var image = Qt.createQmlObject("import localdev 1.0; FirmwareMeta {}", testCase)
        var bytes = new Uint8Array(3000)
        for (var i = 0; i < bytes.length; ++i)
            bytes[i] = (i * 7) & 0xff
        image.payload = bytes.buffer
        image.patchlevel = 4470
        if (withDigest)
            image.generateChecksum()
        var path = testSupport.newFolder() + (withDigest ? "/good.fw" : "/damaged.fw")
        verify(image.save("file://" + path))
        image.destroy()
        return path
    }

    function test_flashToolRefusesWhatDidNotLoad() {
        var logger = globals.tarrowindLogger
        compare(logger.targetOperatingMode, TarrowindLogger.OperatingMode_Firmware)
        var screen = createTemporaryObject(flashTool, testCase)
        compare(logger.targetOperatingMode, TarrowindLogger.OperatingMode_Bootloader)
        compare(findChild(screen, "fileChoiceState").text, "No firmware selected")

        var damaged = writeImage(false)
        screen.loadFile("file://" + damaged)
        tryCompare(findChild(screen, "fileChoiceState"), "text", "(Checksum failure)")
        compare(findChild(screen, "fileChoiceVersion").text, "")
        verify(!findChild(screen, "flashNowButton").enabled)
        verify(!screen.flashNow())
        compare(globals.settings.flashSettings.folder, damaged.substring(0, damaged.lastIndexOf("/")))

        var good = writeImage(true)
        screen.loadFile(good)
        tryCompare(findChild(screen, "fileChoiceState"), "text", "(Checksum verified)")
        compare(findChild(screen, "fileChoiceVersion").text, "Firmware: v0.0.4470")
        // A verified image still waits for a bootloader that answers.
        verify(!findChild(screen, "flashNowButton").enabled)
        verify(!screen.flashNow())
        compare(logger.bootloader.state, StmBootLoader.State_NoDevice)

        screen.destroy()
        tryCompare(logger, "targetOperatingMode", TarrowindLogger.OperatingMode_Firmware)
    }
}
