// Decisions shared by both platforms: adapter classification, merging of device entries, the
// Windows device-name patterns and driver-settings verdict, and what the elevated copy accepts.
#include "serial/AdapterIdentity.h"
#include "serial/DeviceNamePatterns.h"
#include "serial/FtdiDriverSettings.h"
#include "serial/PortInfo.h"

#include <gtest/gtest.h>

namespace {
struct ClassCase {
    const char *manufacturer;
    const char *product;
    bool autodetected;
    bool eepromFixNeeded;
};
}  // namespace

TEST(AdapterClassification, Table)
{
    const ClassCase cases[] = {
        {"Ombrellix", "Tarrowind USB Adapter", true, false},
        {"Ombrellix", "Tarrowind", true, false},
        {"Ombrellix", "TarrowindX", true, false},            // prefix only
        {"Ombrellix", "FT232R USB UART", true, true},        // ours, description not
        {"Ombrellix", "tarrowind USB Adapter", true, true},  // prefix is case-sensitive
        {"Ombrellix", "", true, true},
        {"ombrellix", "Tarrowind USB Adapter", true, true},  // manufacturer must match exactly
        {"FTDI", "Tarrowind USB Adapter", true, true},
        {"FTDI", "Tarrowin", false, true},  // shorter than the prefix
        {"FTDI", "Kestrelcove USB Adapter", true, true},
        {"FTDI", "kestrelcove usb adapter", false, true},
        {"FTDI", "Kestrelcove USB Adapter ", false, true},
        {"Feldspire", "anything", true, true},
        {"FELDSPIRE", "", true, true},
        {"fElDsPiRe", "FT232R USB UART", true, true},
        {"Tarrowind", "FT232R USB UART", true, true},
        {"TARROWIND", "", true, true},
        {"Feldspire Ltd", "FT232R USB UART", false, true},
        {"FTDI", "FT232R USB UART", false, true},
        {"", "", false, true},
    };
    for (const auto &c : cases) {
        PortInfo info;
        AdapterIdentity::classify(QString::fromUtf8(c.manufacturer), QString::fromUtf8(c.product), info);
        EXPECT_EQ(info.autodetected, c.autodetected) << c.manufacturer << " / " << c.product;
        EXPECT_EQ(info.eepromFixNeeded, c.eepromFixNeeded) << c.manufacturer << " / " << c.product;
    }

    // The verdict is ORed into what an earlier entry of the same port found.
    PortInfo earlier;
    earlier.autodetected = true;
    earlier.eepromFixNeeded = true;
    AdapterIdentity::classify("FTDI", "FT232R USB UART", earlier);
    AdapterIdentity::classify("Ombrellix", "Tarrowind USB Adapter", earlier);
    EXPECT_TRUE(earlier.autodetected);
    EXPECT_TRUE(earlier.eepromFixNeeded);

    // The prefix is compared on UTF-8 bytes: a non-ASCII tail still matches.
    PortInfo accented;
    AdapterIdentity::classify("x", QString::fromUtf8("Tarrowind \xc3\xa9t\xc3\xa9"), accented);
    EXPECT_TRUE(accented.autodetected);
}

TEST(AdapterClassification, StringUpdatePlan)
{
    using AdapterIdentity::planStringUpdate;
    auto same = planStringUpdate("Ombrellix", "Tarrowind USB Adapter", true, false);
    EXPECT_FALSE(same.changed);
    EXPECT_FALSE(same.highCurrent);  // nothing written, so no option changed either

    auto r = planStringUpdate("FTDI", "Tarrowind USB Adapter", true, false);
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.manufacturer, "Ombrellix");
    EXPECT_EQ(r.description, "Tarrowind USB Adapter");
    EXPECT_TRUE(r.highCurrent);

    auto x = planStringUpdate("Ombrellix", "FT230X Basic UART", false, false);
    EXPECT_TRUE(x.changed);
    EXPECT_EQ(x.description, "Tarrowind USB Adapter");
    EXPECT_FALSE(x.highCurrent);
}

TEST(PortMerge, FirstNonEmptyWinsAndFlagsOr)
{
    PortInfoMap ports;
    PortInfo first;
    first.product = "USB Serial Port";
    first.autodetected = true;
    mergePortInfo(ports, "COM7", first);

    PortInfo second;
    second.manufacturer = "FTDI";
    second.product = "Tarrowind USB Adapter";
    second.serialNumber = "A10K3";
    second.eepromFixNeeded = true;
    second.elevatedFixPath = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\X\\0000";
    mergePortInfo(ports, "COM7", second);

    PortInfo third;
    third.manufacturer = "Other";
    third.serialNumber = "ZZZ";
    mergePortInfo(ports, "COM7", third);
    mergePortInfo(ports, "COM10", PortInfo());

    ASSERT_EQ(ports.size(), 2);
    const PortInfo &merged = ports["COM7"];
    EXPECT_EQ(merged.manufacturer, "FTDI");
    EXPECT_EQ(merged.product, "USB Serial Port");
    EXPECT_EQ(merged.serialNumber, "A10K3");
    EXPECT_EQ(merged.elevatedFixPath, second.elevatedFixPath);
    EXPECT_TRUE(merged.autodetected);
    EXPECT_TRUE(merged.eepromFixNeeded);

    const QVariantMap map = portInfoMapToVariantMap(ports);
    EXPECT_EQ(map.keys(), QStringList({"COM10", "COM7"}));
    const QVariantMap com7 = map["COM7"].toMap();
    EXPECT_EQ(com7.size(), 6);
    EXPECT_EQ(com7["manufacturer"].toString(), "FTDI");
    EXPECT_EQ(com7["product"].toString(), "USB Serial Port");
    EXPECT_EQ(com7["serialNumber"].toString(), "A10K3");
    EXPECT_EQ(com7["elevatedFixPath"].toString(), second.elevatedFixPath);
    EXPECT_EQ(com7["eepromFixNeeded"].type(), QVariant::Bool);
    EXPECT_TRUE(com7["eepromFixNeeded"].toBool());
    EXPECT_TRUE(com7["autodetectedTarrowind"].toBool());
    EXPECT_FALSE(map["COM10"].toMap()["autodetectedTarrowind"].toBool());
}

TEST(DeviceNames, PortNameAndHubLocation)
{
    using namespace DeviceNamePatterns;
    EXPECT_EQ(portNameFromDeviceName("USB Serial Port (COM7)"), "COM7");
    EXPECT_EQ(portNameFromDeviceName("Tarrowind USB Adapter (COM123)  "), "COM123");
    EXPECT_EQ(portNameFromDeviceName("A (B) (COM3)"), "COM3");
    EXPECT_EQ(portNameFromDeviceName("(COM7)"), "");  // needs a name and a blank before
    EXPECT_EQ(portNameFromDeviceName("USB Serial Port(COM7)"), "");
    EXPECT_EQ(portNameFromDeviceName("USB Serial Port (com7)"), "");
    EXPECT_EQ(portNameFromDeviceName("USB Serial Port (COM)"), "");
    EXPECT_EQ(portNameFromDeviceName("USB Serial Port (COM7) x"), "");
    EXPECT_EQ(portNameFromDeviceName("USB Serial Port (LPT1)"), "");
    EXPECT_EQ(portNameFromDeviceName(""), "");

    EXPECT_EQ(hubPortFromLocation("Port_#0002.Hub_#0003"), 2);
    EXPECT_EQ(hubPortFromLocation("Port_#0010.Hub_#0001"), 10);
    EXPECT_EQ(hubPortFromLocation("Port_#0002.Hub_#"), -1);
    EXPECT_EQ(hubPortFromLocation("0000.0014.0000.002.000.000.000.000.000"), -1);
    EXPECT_EQ(hubPortFromLocation(" Port_#0002.Hub_#0003"), -1);
    EXPECT_EQ(hubPortFromLocation("Port_#99999999999999.Hub_#0003"), -1);
}

TEST(FtdiDriverSettings, VerdictTable)
{
    using V = FtdiDriverSettings::Verdict;
    const QByteArray good = QByteArray::fromHex("11003f3f10270000");
    const QByteArray bad = QByteArray::fromHex("1100013f10270000");
    struct Case {
        bool filtersRead;
        QStringList filters;
        bool configRead;
        QByteArray config;
        bool latencyRead;
        V verdict;
    };
    const Case cases[] = {
        {false, {}, true, good, false, V::Good},
        {false, {}, true, good, true, V::Good},  // ConfigData decides before LatencyTimer
        {true, {"serenum"}, true, good, false, V::RepairNeeded},
        {true, {"other", "SerEnum"}, true, good, false, V::RepairNeeded},
        {true, {"serenumx"}, true, good, false, V::Good},
        {false, {}, true, bad, false, V::RepairNeeded},
        {false, {}, true, QByteArray::fromHex("11003f"), false, V::RepairNeeded},  // too short
        {false, {}, true, QByteArray(), false, V::RepairNeeded},
        {false, {}, false, {}, true, V::RepairNeeded},
        {true, {"kbdclass"}, false, {}, false, V::Unknown},
        {false, {}, false, {}, false, V::Unknown},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        FtdiDriverSettings s;
        s.upperFiltersRead = cases[i].filtersRead;
        s.upperFilters = cases[i].filters;
        s.configDataRead = cases[i].configRead;
        s.configData = cases[i].config;
        s.latencyTimerRead = cases[i].latencyRead;
        EXPECT_EQ(s.verdict(), cases[i].verdict) << "case " << i;
    }
}

TEST(FtdiDriverSettings, RepairValues)
{
    EXPECT_EQ(FtdiDriverSettings::repairedConfigData(QByteArray::fromHex("1100010210270000")),
              QByteArray::fromHex("11003f3f10270000"));
    EXPECT_EQ(FtdiDriverSettings::repairedConfigData(QByteArray::fromHex("110001")), QByteArray());

    EXPECT_EQ(FtdiDriverSettings::withoutSerialEnumerator({"a", "serenum", "b", "serenum"}),
              QStringList({"a", "b", "serenum"}));
    EXPECT_EQ(FtdiDriverSettings::withoutSerialEnumerator({"a"}), QStringList({"a"}));

    const QByteArray raw("serenum\0other\0\0", 15);
    EXPECT_EQ(FtdiDriverSettings::parseMultiString(raw), QStringList({"serenum", "other"}));
    EXPECT_EQ(FtdiDriverSettings::parseMultiString(QByteArray("one\0", 4)), QStringList({"one"}));
    EXPECT_EQ(FtdiDriverSettings::parseMultiString(QByteArray("one", 3)), QStringList({"one"}));
    EXPECT_EQ(FtdiDriverSettings::parseMultiString(QByteArray("\0x\0", 3)), QStringList());
    EXPECT_EQ(FtdiDriverSettings::buildMultiString({"other"}), QByteArray("other\0\0", 7));
    EXPECT_EQ(FtdiDriverSettings::buildMultiString({}), QByteArray("\0\0", 2));
    EXPECT_EQ(FtdiDriverSettings::buildMultiString({"a", "", "b"}), QByteArray("a\0b\0\0", 5));
}

TEST(ElevatedFixArgument, OnlyInstanceKeysBelowTheFtdiBus)
{
    const QString bus = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\";
    EXPECT_EQ(FtdiRegistry::instancePath("VID_0403+PID_6001+A10K3A"), bus + "VID_0403+PID_6001+A10K3A\\0000");
    EXPECT_TRUE(FtdiRegistry::isAcceptedInstancePath(bus + "VID_0403+PID_6001+A10K3A\\0000"));
    EXPECT_TRUE(FtdiRegistry::isAcceptedInstancePath("system\\currentcontrolset\\enum\\ftdibus\\K\\0000"));
    const QStringList refused = {
        "",
        "udev-rule",
        bus,
        bus + "\\0000",
        bus + "K",
        bus + "K\\0001",
        bus + "K\\0000\\Device Parameters",
        bus + "..\\..\\Services\\serenum\\0000",
        bus + "K\\..\\0000",
        bus + "..\\0000",
        bus + ".\\0000",
        bus + "K..\\0000",
        bus + "K\\0000\\",
        bus + "K/x\\0000",
        bus + "K x\\0000",
        bus + "K\t\\0000",
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\0000",
        "HKEY_LOCAL_MACHINE\\" + bus + "K\\0000",
        "\\" + bus + "K\\0000",
        "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUSX\\K\\0000",
        "SYSTEM\\CurrentControlSet\\Enum\\USB\\K\\0000",
        bus + QString::fromUtf8("K\xc3\xa9\\0000"),
        bus + QString("K") + QChar(0) + "\\0000",
    };
    for (const QString &path : refused)
        EXPECT_FALSE(FtdiRegistry::isAcceptedInstancePath(path)) << path.toStdString();
}
