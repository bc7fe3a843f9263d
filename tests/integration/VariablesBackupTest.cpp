// Variables backup and restore against the virtual logger on an in-process line: what the file
// holds and what a restore leaves on the logger are compared with the device's own variables,
// and a power cycle shows that the restore was saved. Refused restores must not touch the
// logger at all.

#include "network/VariablesBackup.h"
#include "../remotefs/SimLogger.h"  // the client-on-a-virtual-logger rig the remotefs tests use
#include "MessageCapture.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>

#include <array>
#include <cstring>
#include <functional>

namespace {

using Network::PersistentName16;
using Network::PersistentName256;
using Network::uint256_t;

struct DeviceVariables {
    std::array<uint16_t, Network::kPersistent16Count> numbers{};
    std::array<QByteArray, Network::kPersistent256Count> texts;
    bool operator==(const DeviceVariables &o) const { return numbers == o.numbers && texts == o.texts; }
};

uint256_t bytes32(const QByteArray &b)
{
    uint256_t v;
    std::memcpy(v.bytes, b.constData(), size_t(std::min(32, int(b.size()))));
    return v;
}

class VariablesBackupTest : public ::testing::Test
{
protected:
    void start(uint32_t patchLevel)
    {
        VirtualLoggerConfig config;
        config.patchLevel = patchLevel;
        config.modelRevision = 4;
        sim = std::make_unique<simtest::SimLogger>(config);
        ASSERT_TRUE(sim->waitReady());
        backup.setFirmware(sim->client.get());
    }

    DeviceVariables onDevice()
    {
        DeviceVariables v;
        sim->runner->withDevice([&](VirtualLogger &d) {
            for (int i = 0; i < Network::kPersistent16Count; ++i)
                v.numbers[size_t(i)] = d.persistent16(i);
            for (int i = 0; i < Network::kPersistent256Count; ++i)
                v.texts[size_t(i)] = d.persistent256(i);
        });
        return v;
    }
    uint64_t writesAndSaves() const
    {
        return sim->runner->requestCount(Network::C2S_WritePersistent16) +
               sim->runner->requestCount(Network::C2S_WritePersistent256) +
               sim->runner->requestCount(Network::C2S_SavePersistents);
    }
    // Writes through the client as the variables screen does, saves, and waits for the logger.
    void writeAndSave(const QVariantList &numbers, const QVariantList &texts)
    {
        TarrowindFirmware &fw = *sim->client;
        fw.setPersistents16(numbers);
        fw.setPersistents256(texts);
        const uint16_t save = fw.sendSavePersistents();
        ASSERT_NE(save, 0);
        ASSERT_TRUE(waitUntil([&] { return fw.queueLength() == 0; }, 20000));
    }
    VariablesBackup::Status run(bool restore, const QString &file)
    {
        EXPECT_TRUE(restore ? backup.beginRestore(file) : backup.beginBackup(file));
        EXPECT_TRUE(waitUntil([&] { return !backup.busy(); }, 60000));
        return backup.status();
    }
    QJsonObject readJson(const QString &path)
    {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(f.readAll()).object();
    }
    void writeFile(const QString &path, const QByteArray &data)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(data), data.size());
    }

    MessageCapture quiet;  // the protocol log chatters; nothing here reads it
    QTemporaryDir dir;
    std::unique_ptr<simtest::SimLogger> sim;
    VariablesBackup backup;
};

TEST_F(VariablesBackupTest, RoundTripRestoresExactlyAndSurvivesAPowerCycle)
{
    start(4468);
    // Values at the edges: the largest 16-bit value, a 32-byte text without terminator, and a
    // text with bytes after its end that only an exact copy keeps.
    QVariantList numbers = sim->client->persistents16();
    numbers[int(PersistentName16::Deprecated_RtcCalM)] = 65535;
    numbers[int(PersistentName16::PulseOutput_Divider)] = 9;
    const QByteArray fullName = QStringLiteral("Zähler Keller Nord 2026 Block-7").toUtf8();
    ASSERT_EQ(fullName.size(), 32);
    QByteArray oddJob("Job 4");
    oddJob.append('\0').append("stale tail");
    writeAndSave(numbers, {QVariant::fromValue(bytes32(fullName)), QVariant::fromValue(bytes32(oddJob))});
    const DeviceVariables original = onDevice();
    ASSERT_EQ(original.texts[0], fullName);

    const QString file = dir.filePath(QStringLiteral("sub/backup.json"));
    ASSERT_EQ(run(false, file), VariablesBackup::Status_Succeeded) << backup.resultText().toStdString();
    const QJsonObject json = readJson(file);
    const QJsonObject logger = json.value("logger").toObject();
    EXPECT_EQ(logger.value("serialNumber").toString(),
              sim->onDevice<QString>([](VirtualLogger &d) { return d.serialNumber(); }));
    EXPECT_EQ(logger.value("model").toString(), "ModelType_Tarrowind3X");
    EXPECT_EQ(logger.value("modelRevision").toInt(), 4);
    EXPECT_EQ(logger.value("firmwareVersion").toString(), "0.1.4468");
    EXPECT_EQ(json.value("persistents16").toObject().value("Deprecated_RtcCalM").toInt(), 65535);
    EXPECT_EQ(json.value("persistents16").toObject().size(), Network::kPersistent16Count);
    EXPECT_EQ(json.value("persistents256").toObject().value("DeviceName_UserString").toString(),
              QString::fromUtf8(fullName));
    EXPECT_TRUE(json.value("persistents256").toObject().value("DeviceName_JobNameString").toObject().contains("hex"));
    EXPECT_TRUE(backup.resultText().contains(logger.value("serialNumber").toString()));

    // Change every variable on the logger and save that.
    QVariantList changed;
    for (int i = 0; i < Network::kPersistent16Count; ++i)
        changed << uint16_t(original.numbers[size_t(i)] + 1);
    writeAndSave(changed, {QVariant::fromValue(bytes32("Other")), QVariant::fromValue(bytes32(""))});
    ASSERT_FALSE(onDevice() == original);

    const uint64_t savesBefore = sim->runner->requestCount(Network::C2S_SavePersistents);
    ASSERT_EQ(run(true, QUrl::fromLocalFile(file).toString()), VariablesBackup::Status_Succeeded)
        << backup.resultText().toStdString();
    EXPECT_TRUE(onDevice() == original);
    EXPECT_EQ(sim->runner->requestCount(Network::C2S_SavePersistents), savesBefore + 1);
    EXPECT_EQ(sim->client->persistents256().at(1).value<uint256_t>(), bytes32(oddJob)) << "read back into the cache";

    // Only saved values outlive a power cycle; the client, plugged in anew, hears them too.
    sim->runner->restartDevice();
    EXPECT_TRUE(onDevice() == original);
    sim->client->setIoDevice(nullptr);
    sim->client->setIoDevice(sim->device);
    ASSERT_TRUE(sim->waitReady(30000));
    for (int i = 0; i < Network::kPersistent16Count; ++i)
        EXPECT_EQ(sim->client->persistents16().at(i).toUInt(), original.numbers[size_t(i)]) << i;
    EXPECT_EQ(sim->client->persistents256().at(0).value<uint256_t>(), bytes32(fullName));
}

TEST_F(VariablesBackupTest, RefusedRestoresLeaveTheLoggerUntouched)
{
    // Firmware without bulk reads: the backup reads every variable on its own.
    start(4000);
    const QString good = dir.filePath(QStringLiteral("good.json"));
    ASSERT_EQ(run(false, good), VariablesBackup::Status_Succeeded) << backup.resultText().toStdString();
    const DeviceVariables before = onDevice();
    const QJsonObject json = readJson(good);
    for (int i = 0; i < Network::kPersistent16Count; ++i)
        EXPECT_EQ(json.value("persistents16").toObject().value(VariablesBackupFile::name16(i)).toInt(-1),
                  before.numbers[size_t(i)]);
    // Change the logger, so that a restore that slipped through would show.
    QVariantList numbers = sim->client->persistents16();
    numbers[int(PersistentName16::Network_Keepalive_Seconds)] = 77;
    writeAndSave(numbers, {});
    const DeviceVariables changed = onDevice();
    const uint64_t writes = writesAndSaves();

    auto variant = [&](const QString &name, const std::function<void(QJsonObject &)> &edit) {
        QJsonObject o = json;
        edit(o);
        const QString path = dir.filePath(name);
        writeFile(path, QJsonDocument(o).toJson());
        return path;
    };
    const struct {
        QString file;
        VariablesBackup::Status status;
        const char *needle;
    } cases[] = {
        {variant("other-model.json",
                 [](QJsonObject &o) {
                     QJsonObject l = o.value("logger").toObject();
                     l["model"] = "ModelType_Unset";
                     o["logger"] = l;
                 }),
         VariablesBackup::Status_Refused, "model ModelType_Unset"},
        {variant("unknown-variable.json",
                 [](QJsonObject &o) {
                     QJsonObject p = o.value("persistents16").toObject();
                     p["PulseOutput_Phase"] = 1;
                     o["persistents16"] = p;
                 }),
         VariablesBackup::Status_Refused, "PulseOutput_Phase"},
        {variant("count-name.json",
                 [](QJsonObject &o) {
                     QJsonObject p = o.value("persistents16").toObject();
                     p["PersistentName16Count"] = 1;
                     o["persistents16"] = p;
                 }),
         VariablesBackup::Status_Refused, "PersistentName16Count"},
        {variant("too-large.json",
                 [](QJsonObject &o) {
                     QJsonObject p = o.value("persistents16").toObject();
                     p["PulseOutput_Divider"] = 65536;
                     o["persistents16"] = p;
                 }),
         VariablesBackup::Status_Refused, "PulseOutput_Divider"},
        {variant("missing.json",
                 [](QJsonObject &o) {
                     QJsonObject p = o.value("persistents256").toObject();
                     p.remove("DeviceName_JobNameString");
                     o["persistents256"] = p;
                 }),
         VariablesBackup::Status_Refused, "lacks the variable DeviceName_JobNameString"},
        {variant("text-too-long.json",
                 [](QJsonObject &o) {
                     QJsonObject p = o.value("persistents256").toObject();
                     p["DeviceName_UserString"] = QString(33, QLatin1Char('x'));
                     o["persistents256"] = p;
                 }),
         VariablesBackup::Status_Refused, "DeviceName_UserString"},
        {dir.filePath("no-such-file.json"), VariablesBackup::Status_Failed, "no-such-file.json"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run(true, c.file), c.status) << c.file.toStdString();
        EXPECT_TRUE(backup.resultText().contains(QLatin1String(c.needle))) << backup.resultText().toStdString();
        EXPECT_TRUE(backup.resultText().contains("Nothing was changed")) << backup.resultText().toStdString();
    }
    // A damaged file: cut short, as an interrupted copy leaves it.
    QFile f(good);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString cut = dir.filePath("cut.json");
    writeFile(cut, f.readAll().left(200));
    EXPECT_EQ(run(true, cut), VariablesBackup::Status_Refused);
    EXPECT_TRUE(backup.resultText().contains("damaged")) << backup.resultText().toStdString();

    EXPECT_EQ(writesAndSaves(), writes) << "a refused restore sends nothing";
    EXPECT_TRUE(onDevice() == changed);

    // One operation at a time.
    ASSERT_TRUE(backup.beginRestore(good));
    EXPECT_FALSE(backup.beginBackup(dir.filePath("second.json")));
    ASSERT_TRUE(waitUntil([&] { return !backup.busy(); }, 60000));
    EXPECT_EQ(backup.status(), VariablesBackup::Status_Succeeded) << backup.resultText().toStdString();
    EXPECT_TRUE(onDevice() == before);
}

}  // namespace
