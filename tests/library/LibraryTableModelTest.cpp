// The window's table over a library larger than one page: every row arrives in the store's
// order, sorting turns round on a second click, and rows added by another connection (another
// process, for the model) appear without being asked for; opening a row trusts no path nor bytes
// it has not hashed.
#include "library/LibraryTableModel.h"
#include "library/LibraryAnalysis.h"
#include "library/LibraryStore.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
LibraryRecord record(int i)
{
    LibraryRecord r;
    r.sha256 = LibraryAnalysis::sha256Hex(QByteArray::number(i));
    r.serial = QString::number(500 + i % 7);
    r.deviceName = QStringLiteral("Site %1").arg(i);
    r.hasPulses = true;
    r.firstPulseMs = 1772323200000 + int64_t(i % 50) * 3600000;
    r.lastPulseMs = r.firstPulseMs + 86400000;
    r.leak = i % 9 == 0;
    r.analysisVersion = LibraryAnalysis::kVersion;
    return r;
}
}  // namespace

class LibraryTableModelTest : public QObject
{
    Q_OBJECT

private slots:
    void pagesSortingAndFollowingAdditions();
};

void LibraryTableModelTest::pagesSortingAndFollowingAdditions()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("library.sqlite"));
    LibraryStore store;
    QString error;
    QVERIFY2(store.open(file, &error), qPrintable(error));
    const int rows = 2 * LibraryTableModel::kPageSize + 17;
    for (int i = 0; i < rows; ++i)
        QCOMPARE(store.add(record(i), QByteArray::number(i), QString(), &error), LibraryStore::AddResult::Added);

    LibraryTableModel model;
    model.setPollIntervalMs(50);
    model.setLocation(file);
    QTRY_VERIFY_WITH_TIMEOUT(model.ready(), 20000);
    QCOMPARE(model.rowCount(), rows);
    const auto loadAll = [&] {
        for (int r = 0; r < model.rowCount(); r += LibraryTableModel::kPageSize / 2)
            model.data(model.index(r, 0));
        return model.loadedIds().size() == model.rowCount();
    };
    QTRY_VERIFY_WITH_TIMEOUT(loadAll(), 20000);
    std::vector<LibraryRecord> expected;
    QVERIFY(store.list(LibraryFilter(), &expected, &error, false));
    QStringList ids;
    for (const auto &r : expected)
        ids << r.sha256;
    QCOMPARE(model.loadedIds(), ids);
    QVERIFY(model.data(model.index(0, LibraryTableModel::Leak), LibraryTableModel::LeakRole).toBool());
    QVERIFY(!model.data(model.index(rows - 1, LibraryTableModel::Leak), LibraryTableModel::LeakRole).toBool());

    for (const bool descending : {false, true}) {
        model.sortBy(LibraryTableModel::Site);
        QCOMPARE(model.sortDescending(), descending);
        QTRY_VERIFY_WITH_TIMEOUT(model.ready() && loadAll(), 20000);
        QStringList sites;
        for (int r = 0; r < rows; ++r)
            sites << model.data(model.index(r, LibraryTableModel::Site)).toString();
        QStringList sorted = sites;
        std::sort(sorted.begin(), sorted.end());
        if (descending)
            std::reverse(sorted.begin(), sorted.end());
        QCOMPARE(sites, sorted);
    }

    model.setFilterText(QStringLiteral("SITE 1"));  // Site 1, 10..19, 100..199
    QTRY_VERIFY_WITH_TIMEOUT(model.ready() && model.rowCount() == 111, 20000);
    LibraryStore other;
    QVERIFY(other.open(file, &error));
    QCOMPARE(other.add(record(rows + 1000), "x", QString(), &error), LibraryStore::AddResult::Added);  // Site 1417
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 112, 20000);
    QVERIFY(other.remove(record(1).sha256, &error));
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 111, 20000);

    // Opening: a recorded path only while it holds the log, else the stored bytes in a folder of
    // the run's own; never bytes that do not hash to the row's id ("x" above).
    const QString impostor = dir.filePath(QStringLiteral("impostor.rlog"));
    QFile replaced(impostor);
    QVERIFY(replaced.open(QIODevice::WriteOnly) && replaced.write("other bytes") > 0);
    replaced.close();
    QCOMPARE(other.add(record(10), QByteArray::number(10), impostor, &error), LibraryStore::AddResult::Present);
    QTRY_VERIFY_WITH_TIMEOUT(model.ready() && loadAll(), 20000);
    QSignalSpy ready(&model, &LibraryTableModel::logReady), failed(&model, &LibraryTableModel::openFailed);
    model.requestLog(model.loadedIds().indexOf(record(10).sha256));
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20000);
    const QString path = ready.first().first().toString();
    QVERIFY(path != impostor);
    QCOMPARE(QFileInfo(QFileInfo(path).absolutePath()).permissions() & (QFile::ReadOther | QFile::ReadGroup),
             QFileDevice::Permissions());
    QFile opened(path);
    QVERIFY(opened.open(QIODevice::ReadOnly));
    QCOMPARE(opened.readAll(), QByteArray::number(10));
    model.requestLog(model.loadedIds().indexOf(record(rows + 1000).sha256));
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
    QVERIFY2(failed.first().first().toString().contains(QStringLiteral("is damaged")),
             qPrintable(failed.first().first().toString()));
    QCOMPARE(ready.count(), 1);
    // ...under the name a local save would give it.
    QString site =
        model.data(model.index(model.loadedIds().indexOf(record(10).sha256), LibraryTableModel::Site)).toString();
    QVERIFY(QFileInfo(path).fileName().startsWith(site.replace(' ', '_') + QStringLiteral("_")));
}

QTEST_GUILESS_MAIN(LibraryTableModelTest)
#include "LibraryTableModelTest.moc"
