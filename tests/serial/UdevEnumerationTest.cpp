// Linux port enumeration against a fake sysfs tree (umockdev), the program's udev rule, and the
// elevated copy's refusal of anything but its one action.
// glib before Qt: Qt's "signals" keyword would break the glib headers.
#include <umockdev.h>

#include "CliRun.h"
#include "serial/AdapterIdentity.h"
#include "serial/AdapterRepair.h"
#include "serial/UdevPortEnumerator.h"
#include "serial/UdevRule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <fnmatch.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {
// umockdev_in_mock_environment() does not recognise the wrapper's relative library name.
bool preloaded()
{
    return qgetenv("LD_PRELOAD").contains("libumockdev-preload");
}

// One USB adapter in umockdev's record format: the tty with its device node, then its
// usb_device parent with the string sysattrs.
void addAdapter(UMockdevTestbed *bed, const char *name, const char *manufacturer, const char *product,
                const char *serial, int devnum)
{
    const QByteArray usb = "/devices/pci0000:00/usb3/3-" + QByteArray::number(devnum);
    const QByteArray tty = QByteArray("tty") + name;
    const QByteArray record = "P: " + usb + "/3-" + QByteArray::number(devnum) + ":1.0/" + tty + "/tty/" + tty +
                              "\n"
                              "N: " +
                              tty + "\nE: DEVNAME=/dev/" + tty +
                              "\nE: SUBSYSTEM=tty\nA: dev=188:" + QByteArray::number(devnum) + "\n\nP: " + usb +
                              "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=0403\nA: idProduct=6001\n"
                              "A: manufacturer=" +
                              manufacturer + "\nA: product=" + product + "\nA: serial=" + serial +
                              "\nA: busnum=3\nA: devnum=" + QByteArray::number(devnum) + "\n";
    GError *error = nullptr;
    EXPECT_TRUE(umockdev_testbed_add_from_string(bed, record.constData(), &error)) << (error ? error->message : "");
    if (error)
        g_error_free(error);
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    return path;
}
}  // namespace

TEST(UdevEnumeration, UsbTtysWithExactStringsAndRuleCheck)
{
    ASSERT_TRUE(preloaded());
    UMockdevTestbed *bed = umockdev_testbed_new();
    // Strings with trailing blanks and non-ASCII text are taken exactly, not sanitised.
    addAdapter(bed, "USB0", "Ombrellix", "Tarrowind USB Adapter", "A10K3ZQX", 5);
    addAdapter(bed, "USB1", "FTDI", "FT232R USB UART ", "B77", 6);
    addAdapter(bed, "USB2", "Feldspire", "Z\xc3\xa4hler", "C1", 7);
    // A serial port without a USB parent is not listed.
    GError *error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(
        bed,
        "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: DEVNAME=/dev/ttyS0\nE: SUBSYSTEM=tty\nA: dev=4:64\n",
        &error));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList folders = {dir.filePath("etc"), dir.filePath("lib")};
    const QString rule = folders[0] + "/" + UdevRule::kFileName;
    ASSERT_TRUE(QDir().mkpath(folders[0]) && QDir().mkpath(folders[1]));
    const QString extra = writeFile(dir.filePath("sim-link"), "");

    PortInfoMap ports = UdevPortEnumerator::enumerate({extra, dir.filePath("gone")}, folders);
    EXPECT_EQ(ports.keys(), QStringList({"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", extra}));

    const PortInfo ours = ports.value("/dev/ttyUSB0");
    EXPECT_EQ(ours.manufacturer, "Ombrellix");
    EXPECT_EQ(ours.product, "Tarrowind USB Adapter");
    EXPECT_EQ(ours.serialNumber, "A10K3ZQX");
    EXPECT_TRUE(ours.autodetected);
    EXPECT_FALSE(ours.eepromFixNeeded);
    EXPECT_EQ(ours.elevatedFixPath, QLatin1String(UdevRule::kAction));  // no rule installed yet

    const PortInfo foreign = ports.value("/dev/ttyUSB1");
    EXPECT_EQ(foreign.product, "FT232R USB UART ");
    EXPECT_FALSE(foreign.autodetected);
    EXPECT_TRUE(foreign.eepromFixNeeded);
    EXPECT_TRUE(foreign.elevatedFixPath.isEmpty());  // not ours: no rule offered

    const PortInfo older = ports.value("/dev/ttyUSB2");
    EXPECT_EQ(older.product, QString::fromUtf8("Z\xc3\xa4hler"));
    EXPECT_TRUE(older.autodetected);
    EXPECT_TRUE(older.eepromFixNeeded);

    EXPECT_TRUE(ports.value(extra).autodetected);

    // A rule that differs still asks for the repair; ours, with the node accessible, does not.
    writeFile(rule, UdevRule::ruleText() + "# edited\n");
    EXPECT_FALSE(UdevPortEnumerator::enumerate({}, folders).value("/dev/ttyUSB0").elevatedFixPath.isEmpty());
    writeFile(rule, UdevRule::ruleText());
    if (access("/dev/ttyUSB0", R_OK | W_OK) == 0) {
        EXPECT_TRUE(UdevPortEnumerator::enumerate({}, folders).value("/dev/ttyUSB0").elevatedFixPath.isEmpty());
    }

    UdevPortEnumerator::UsbLocation location;
    ASSERT_TRUE(UdevPortEnumerator::usbLocationOfPort("/dev/ttyUSB2", &location));
    EXPECT_EQ(location.bus, 3);
    EXPECT_EQ(location.address, 7);
    EXPECT_EQ(location.serialNumber, "C1");
    EXPECT_FALSE(UdevPortEnumerator::usbLocationOfPort("/dev/ttyS0", &location));
    EXPECT_FALSE(UdevPortEnumerator::usbLocationOfPort(extra, &location));  // not a device
    EXPECT_FALSE(UdevPortEnumerator::usbLocationOfPort(dir.filePath("gone"), &location));

    // The command-line tool, started in the same fake sysfs, prints the map the user interface
    // binds to.
    const CliResult json = runCli({"ports", "--json"}, {{"TW_EXTRA_PORTS", extra}});
    EXPECT_EQ(json.status, 0) << json.err.toStdString();
    const QJsonObject printed = QJsonDocument::fromJson(json.out).object();
    EXPECT_EQ(printed, QJsonObject::fromVariantMap(
                           portInfoMapToVariantMap(UdevPortEnumerator::enumerate({extra}, UdevRule::ruleFolders()))));
    EXPECT_EQ(printed.value("/dev/ttyUSB0").toObject().value("serialNumber").toString(), "A10K3ZQX");
    EXPECT_TRUE(runCli({"ports"}, {{"TW_EXTRA_PORTS", extra}})
                    .out.contains("/dev/ttyUSB0 (Ombrellix Tarrowind USB Adapter) serial A10K3ZQX"));

    g_object_unref(bed);
}

TEST(UdevRule, MatchesExactlyTheAdaptersTheClassificationRecognises)
{
    // udev compares ATTRS values as shell globs: read every matching line of the rule back and
    // check it against the classification for a range of adapters.
    QList<QPair<QByteArray, QByteArray>> matches;  // (attribute, glob)
    for (const QByteArray &line : UdevRule::ruleText().split('\n')) {
        if (!line.contains("GOTO=\"tarrowind_adapter\""))
            continue;
        const int open = line.indexOf('{'), close = line.indexOf('}');
        const int quote = line.indexOf('"');
        matches.append(
            {line.mid(open + 1, close - open - 1), line.mid(quote + 1, line.indexOf('"', quote + 1) - quote - 1)});
    }
    ASSERT_FALSE(matches.isEmpty());
    const char *adapters[][2] = {
        {"Ombrellix", "FT232R USB UART"},
        {"FTDI", "Tarrowind USB Adapter"},
        {"FTDI", "Tarrowind"},
        {"FTDI", "tarrowind"},
        {"FTDI", "Kestrelcove USB Adapter"},
        {"FTDI", "Kestrelcove"},
        {"fElDsPiRe", ""},
        {"TARROWIND", "x"},
        {"Feldspire Ltd", "x"},
        {"ombrellix", "x"},
        {"FTDI", "FT232R USB UART"},
        {"", ""},
    };
    for (const auto &a : adapters) {
        PortInfo info;
        AdapterIdentity::classify(a[0], a[1], info);
        bool ruleMatches = false;
        for (const auto &m : matches) {
            const char *value = m.first == "manufacturer" ? a[0] : a[1];
            ruleMatches = ruleMatches || fnmatch(m.second.constData(), value, 0) == 0;
        }
        EXPECT_EQ(ruleMatches, info.autodetected) << a[0] << " / " << a[1];
    }
    EXPECT_TRUE(UdevRule::ruleText().contains("TAG+=\"uaccess\""));
    EXPECT_TRUE(UdevRule::ruleText().contains("ENV{ID_MM_DEVICE_IGNORE}=\"1\""));
}

// The rule in effect is the first file of its name in udev's folders: a packaged one counts,
// unless a different file of the same name in /etc masks it.
TEST(UdevRule, TheRuleInEffectDecidesWhetherTheRepairWrites)
{
    const QByteArray ours = UdevRule::ruleText(), edited = UdevRule::ruleText() + "# edited\n";
    struct Case {
        const char *name;
        QByteArray etc, lib;  // null: no file
        bool installed;
    };
    const Case cases[] = {
        {"none", {}, {}, false},
        {"packaged only", {}, ours, true},
        {"repaired only", ours, {}, true},
        {"masked by /etc", edited, ours, false},
        {"masking a stale one", ours, edited, true},
        {"stale package", {}, edited, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QStringList folders = {dir.filePath("etc"), dir.filePath("run"), dir.filePath("lib")};
        for (const QString &f : folders)
            ASSERT_TRUE(QDir().mkpath(f));
        const QString etc = folders[0] + "/" + UdevRule::kFileName;
        if (!c.etc.isNull())
            writeFile(etc, c.etc);
        if (!c.lib.isNull())
            writeFile(folders[2] + "/" + UdevRule::kFileName, c.lib);
        EXPECT_EQ(UdevRule::isInstalled(folders), c.installed);
        // The commands run either way; /etc is written only when no rule in effect covers the adapters.
        const QString marker = dir.filePath("ran");
        EXPECT_TRUE(UdevRule::install(folders, {{"/bin/sh", "-c", "touch " + marker}}));
        EXPECT_TRUE(QFile::exists(marker));
        EXPECT_EQ(QFile::exists(etc), c.installed ? !c.etc.isNull() : true);
        EXPECT_TRUE(UdevRule::isInstalled(folders));
    }
}

TEST(UdevRule, InstallReplacesTheFileAndReportsFailingCommands)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList folders = {dir.path()};
    const QString rule = dir.filePath(UdevRule::kFileName);
    writeFile(rule, "old and longer content than the rule could ever have ...................");
    const QString marker = dir.filePath("ran");
    // Whatever mask and environment the caller had: the rule is not writable by others, and
    // nothing of the caller's environment reaches the commands.
    const mode_t mask = umask(0);
    qputenv("TW_INHERITED", "1");
    const bool installed =
        UdevRule::install(folders, {{QStandardPaths::findExecutable("true")},
                                    {"/bin/sh", "-c", "test -z \"$TW_INHERITED\" && touch " + marker}});
    qunsetenv("TW_INHERITED");
    umask(mask);
    EXPECT_TRUE(installed);
    EXPECT_TRUE(UdevRule::isInstalled(folders));
    EXPECT_TRUE(QFile::exists(marker));
    EXPECT_EQ(QFile::permissions(rule) & (QFileDevice::WriteOther | QFileDevice::WriteGroup), 0);

    // Programs only by absolute path, never looked up in an inherited PATH.
    EXPECT_FALSE(UdevRule::install(folders, {{"true"}}));
    EXPECT_TRUE(UdevRule::defaultCommands().first().first().endsWith("/bin/udevadm"));
    EXPECT_FALSE(UdevRule::install(folders, {{QStandardPaths::findExecutable("false")}}));
    EXPECT_FALSE(UdevRule::install(folders, {{dir.filePath("no-such-program")}}));
    EXPECT_FALSE(UdevRule::install({dir.filePath("missing-folder")}, {}));
}

TEST(ElevatedFix, RefusesEverythingButItsOwnAction)
{
    // None of these may reach the rule folder or run a command.
    const QStringList refused = {"",
                                 "udev-rule ",
                                 " udev-rule",
                                 "UDEV-RULE",
                                 "udev-rule\n",
                                 "../../etc/udev/rules.d/x",
                                 "/etc/passwd",
                                 "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\K\\0000"};
    for (const QString &text : refused)
        EXPECT_FALSE(ftdiElevatedFix(text)) << text.toStdString();
}

int main(int argc, char **argv)
{
    // The fake sysfs needs umockdev's preload library: start again under its wrapper.
    if (!preloaded() && !qEnvironmentVariableIsSet("TW_UMOCKDEV_REEXEC")) {
        qputenv("TW_UMOCKDEV_REEXEC", "1");
        // The sanitizer runtime then no longer comes first among the loaded libraries.
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        std::vector<char *> args{const_cast<char *>("umockdev-wrapper")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("umockdev-wrapper", args.data());
        perror("umockdev-wrapper");
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
