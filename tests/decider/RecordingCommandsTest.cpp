#include "CliRun.h"
#include "decider/FileRecording.h"
#include "decider/WrappedEllipticalDecider.h"
#include "SyntheticMagnet.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>

TEST(RecordingCommands, InfoAndDecideOnAModelledMagnet)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SyntheticMagnet m;
    FileRecording rec;
    // Where the wrapper would install its parameters, and how far the magnet turned since.
    WrappedEllipticalDecider reference;
    reference.setAutoCalibrate(true);
    QSignalSpy installed(&reference, &WrappedEllipticalDecider::parametersChanged);
    double turnsAtInstall = -1.0;
    for (int i = 0; i < 400 * 30; ++i) {
        const auto s = m.next();
        rec.addSample(s);
        reference.addSample(s);
        if (turnsAtInstall < 0 && installed.count() > 0)
            turnsAtInstall = m.turns();
    }
    ASSERT_GT(turnsAtInstall, 0.0);
    const QString path = dir.filePath("magnet.csv");
    ASSERT_TRUE(rec.save(path));

    const CliResult info = runCli({"recording-info", path, "--json"});
    ASSERT_EQ(info.status, 0) << info.err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(info.out).object();
    EXPECT_EQ(o.value("sampleCount").toInt(), 12000);
    EXPECT_TRUE(o.value("timestamped").toBool());
    EXPECT_NEAR(o.value("sourceRate").toDouble(), 400.0, 0.1);

    const CliResult text = runCli({"recording-info", path});
    EXPECT_EQ(text.status, 0);
    EXPECT_TRUE(text.out.contains("samples: 12000")) << text.out.toStdString();

    const CliResult d = runCli({"decide", path, "--json"});
    ASSERT_EQ(d.status, 0) << d.err.toStdString();
    const QJsonObject r = QJsonDocument::fromJson(d.out).object();
    EXPECT_EQ(r.value("status").toString(), "DeciderStatus_Running");
    EXPECT_TRUE(r.value("parametersInstalled").toBool());
    // Whole revolutions after the installation, less at most the first (direction) wrap.
    const int after = int(std::floor(m.turns() - turnsAtInstall));
    const int pulses = r.value("pulses").toInt();
    EXPECT_LE(pulses, after + 1);
    EXPECT_GE(pulses, after - 1);
    const QJsonObject params = r.value("parameters").toObject();
    EXPECT_EQ(params.value("basis").toArray().size(), 9);
    EXPECT_NEAR(params.value("center").toArray().at(2).toDouble(), 80.0, 3.0);

    // Failures: one line on stderr, non-zero status.
    const CliResult missing = runCli({"decide", dir.filePath("none.csv")});
    EXPECT_NE(missing.status, 0);
    EXPECT_TRUE(missing.err.startsWith("tarrowind-cli: "));
    QFile junk(dir.filePath("junk.csv"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("no samples here\n");
    junk.close();
    EXPECT_NE(runCli({"recording-info", junk.fileName()}).status, 0);
    EXPECT_NE(runCli({"recording-info"}).status, 0);
    EXPECT_NE(runCli({"decide", path, "--bogus"}).status, 0);
}
