// The window's table over a library larger than one page: every row arrives in the store's
// order, sorting turns round on a second click, and rows added by another connection (another
// process, for the model) appear without being asked for.
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

    // A log the library holds only as bytes opens under the name a local save would give it.
    QSignalSpy ready(&model, &LibraryTableModel::logReady);
    QTRY_VERIFY_WITH_TIMEOUT(model.ready() && loadAll(), 20000);
    QString site = model.data(model.index(0, LibraryTableModel::Site)).toString();
    model.requestLog(0);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20000);
    const QString path = ready.at(0).at(0).toString();
    QCOMPARE(QFileInfo(path).fileName(), site.replace(' ', '_') + QStringLiteral("_0000_unnamed.rlog"));
    QFile opened(path);
    QVERIFY(opened.open(QIODevice::ReadOnly));
    QByteArray stored;
    QVERIFY(store.rawLog(model.loadedIds().at(0), &stored, &error));
    QCOMPARE(opened.readAll(), stored);
}

QTEST_GUILESS_MAIN(LibraryTableModelTest)
#include "LibraryTableModelTest.moc"
