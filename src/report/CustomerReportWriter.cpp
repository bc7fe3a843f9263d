#include "CustomerReportWriter.h"

#include "CustomerReport.h"
#include "CustomerReportPdf.h"
#include "pulselog/PulseLog.h"

CustomerReportWriter::CustomerReportWriter(QObject *parent)
    : QObject(parent), m_task(this, [this](Outcome outcome) {
          emit busyChanged();
          if (!outcome.ok)
              qWarning("Customer report: %s", qPrintable(outcome.error));
          emit finished(outcome.ok, outcome.fileName, outcome.error);
      })
{
}

bool CustomerReportWriter::start(PulseLog *log, const QString &fileName, const QDateTime &from, const QDateTime &to,
                                 const QString &unit, const QString &page)
{
    CustomerReportPdf::Page paper = CustomerReportPdf::Page::Letter;
    if (!log || busy() || fileName.isEmpty() || !CustomerReportPdf::parsePage(page, &paper))
        return false;
    const QString reportUnit = CustomerReport::unitFor(log->metaData(), unit);
    if (reportUnit.isEmpty())
        return false;
    m_task.start([snapshot = CustomerReport::snapshot(*log, from, to), reportUnit, fileName,
                  paper](const std::atomic_bool &) {
        Outcome outcome;
        outcome.fileName = fileName;
        outcome.ok =
            CustomerReportPdf::write(CustomerReport::summarise(snapshot, reportUnit), fileName, paper, &outcome.error);
        return outcome;
    });
    emit busyChanged();
    return true;
}
