// The udev rule shipped for installation is the one the adapter repair writes: a package that
// installs the file and a repair that writes it must never disagree about the adapters covered.

#include "serial/UdevRule.h"

#include <gtest/gtest.h>
#include <QFile>

TEST(UdevRuleFile, ShippedRuleIsWhatTheRepairWrites)
{
    const QString shipped = qEnvironmentVariable("TW_SOURCE_DIR") + "/dist/linux/70-tarrowind-utility.rules";
    QFile file(shipped);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << shipped.toStdString();
    const QByteArray text = file.readAll();
    if (text != UdevRule::ruleText()) {
        // The new text, to copy over the shipped file after a deliberate change.
        QFile fresh(qEnvironmentVariable("TW_BIN_DIR") + "/../70-tarrowind-utility.rules.new");
        if (fresh.open(QIODevice::WriteOnly))
            fresh.write(UdevRule::ruleText());
        FAIL() << "dist/linux/70-tarrowind-utility.rules differs from UdevRule::ruleText(); the current text is in "
               << fresh.fileName().toStdString();
    }
    // The shipped name sorts before the seat rules (73), or uaccess would come too late.
    EXPECT_EQ(QString(UdevRule::kFileName), "70-tarrowind-utility.rules");
}
