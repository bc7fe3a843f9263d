#include "pulselog/PulseLog.h"
#include "pulselog/PulseLogMetatypes.h"

#include <QQmlEngine>
#include <QtQml>

#include <gtest/gtest.h>

#include <cmath>

// The user interface calls the log from JavaScript: every invokable must take and return
// types the engine converts once the start-up registrations are made.
class PulseLogQmlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerPulseLogMetatypes();
        qmlRegisterType<PulseLog>("localdev", 1, 0, "PulseLog");
        QQmlEngine::setObjectOwnership(&log, QQmlEngine::CppOwnership);
        log.addPulsesNoSignal(1780000000000000000LL, 2);
        log.addPulsesNoSignal(1780000005000000000LL, 3);
        log.addPulsesNoSignal(1780000125000000000LL, 1);
        engine.globalObject().setProperty("log", engine.newQObject(&log));
    }

    QJSValue eval(const QString &code)
    {
        const QJSValue v = engine.evaluate(code);
        EXPECT_FALSE(v.isError()) << code.toStdString() << ": " << v.toString().toStdString();
        return v;
    }

    QQmlEngine engine;
    PulseLog log;
};

TEST_F(PulseLogQmlTest, InvokablesAcceptAndReturnScriptValues)
{
    EXPECT_EQ(eval("log.totalPulseCount").toInt(), 6);
    EXPECT_EQ(eval("log.timeBinCount(60000)").toInt(), 3);
    EXPECT_EQ(eval("log.timeBinMaximumPulseCount(60000)").toInt(), 5);
    EXPECT_EQ(eval("log.dateToBin(log.binToDate(2, 60000), 60000)").toInt(), 2);
    EXPECT_DOUBLE_EQ(eval("log.dateToBinF(new Date(1780000125000), 60000)").toNumber(), 2.75);
    EXPECT_EQ(eval("log.pulseCountInRange(new Date(0), new Date(2e12))").toInt(), 6);
    EXPECT_EQ(eval("var v = log.asTimeBinsQml(60000, new Date(0), new Date(2e12));"
                   "var s = log.dataSeriesStats(v, 0, 2); s.minCount + '/' + s.maxCount")
                  .toString(),
              "0/5");
    EXPECT_EQ(eval("log.buildWindowVL(10, 0).length").toInt(), 2);
    EXPECT_EQ(eval("log.dataAsTimeInvertedVL(0, 2, false)[3].x").toNumber(), 125.0);
    EXPECT_TRUE(std::isnan(eval("log.minimumVoltage").toNumber()));
    EXPECT_EQ(eval("log.fixedFieldNames[16]").toString(), "Notes");
    EXPECT_EQ(eval("log.qmlClone().totalPulseCount").toInt(), 6);
    // Nothing in the log marks it: a clone that an invokable returns goes to the engine.
    EXPECT_EQ(QQmlEngine::objectOwnership(eval("log.qmlClone()").toQObject()), QQmlEngine::JavaScriptOwnership);
    EXPECT_EQ(eval("log.addPulses(1780000200000000000, 4); log.totalPulseCount").toInt(), 10);
    EXPECT_EQ(eval("log.metaData = {'Notes': 'n'}; log.metaData.Notes").toString(), "n");
}
