#include "ReportCommands.h"

#include "pulselog/PulseLog.h"
#include "report/CustomerReport.h"
#include "report/CustomerReportPdf.h"

#include <QDateTime>

namespace {
// Library warnings are gathered so that a failure ends in one line naming its cause.
QStringList *g_warnings = nullptr;

void collectWarning(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (g_warnings && type != QtDebugMsg && type != QtInfoMsg)
        g_warnings->append(message);
}

bool parseDate(const QCommandLineParser &args, const QString &name, QDateTime *date, QString *error)
{
    if (!args.isSet(name))
        return true;
    *date = QDateTime::fromString(args.value(name), Qt::ISODateWithMs);
    if (!date->isValid()) {
        *error = QStringLiteral("--%1: not an ISO 8601 date: %2").arg(name, args.value(name));
        return false;
    }
    return true;
}

struct Request {
    QString file, output, unit;
    QDateTime from, to;
    CustomerReportPdf::Page page = CustomerReportPdf::Page::Letter;
};

bool parseRequest(const QCommandLineParser &args, Request *r, QString *error)
{
    const QStringList files = args.positionalArguments();
    if (files.size() != 1) {
        *error = files.isEmpty() ? QStringLiteral("missing FILE.rlog")
                                 : QStringLiteral("unexpected argument %1").arg(files.value(1));
        return false;
    }
    r->file = files.first();
    r->output = args.value(QStringLiteral("o"));
    if (r->output.isEmpty()) {
        *error = QStringLiteral("missing -o FILE.pdf");
        return false;
    }
    if (!parseDate(args, QStringLiteral("from"), &r->from, error) ||
        !parseDate(args, QStringLiteral("to"), &r->to, error))
        return false;
    r->unit = args.value(QStringLiteral("unit"));
    if (args.isSet(QStringLiteral("unit")) && !CustomerReport::knownUnit(r->unit)) {
        *error = QStringLiteral("--unit: not a volume unit: %1 (one of Gallons, CCF, CF, Cubic Meters, Liters)")
                     .arg(r->unit);
        return false;
    }
    if (args.isSet(QStringLiteral("page")) &&
        !CustomerReportPdf::parsePage(args.value(QStringLiteral("page")), &r->page)) {
        *error = QStringLiteral("--page: letter or a4, not %1").arg(args.value(QStringLiteral("page")));
        return false;
    }
    return true;
}

int writeReport(const QCommandLineParser &args)
{
    Request request;
    QString error;
    if (!parseRequest(args, &request, &error))
        return Cli::fail(error);
    // The PDF engine orders its font subsets by hash: a fixed seed gives the same bytes on every
    // run, so a report can be compared or checksummed.
    qSetGlobalQHashSeed(0);
    QStringList warnings;
    g_warnings = &warnings;
    const QtMessageHandler previous = qInstallMessageHandler(collectWarning);
    PulseLog log;
    const bool loaded = log.load(request.file);
    qInstallMessageHandler(previous);
    g_warnings = nullptr;
    if (!loaded) {
        error = QStringLiteral("cannot read %1").arg(request.file);
        return Cli::fail(warnings.isEmpty() ? error : error + QStringLiteral(": ") + warnings.last());
    }
    for (const QString &w : warnings)
        fprintf(stderr, "tarrowind-cli: warning: %s\n", w.toLocal8Bit().constData());

    const QString unit = CustomerReport::unitFor(log.metaData(), request.unit);
    const auto summary = CustomerReport::summarise(CustomerReport::snapshot(log, request.from, request.to), unit);
    if (!CustomerReportPdf::write(summary, request.output, request.page, &error))
        return Cli::fail(error);
    if (args.isSet(QStringLiteral("json")))
        Cli::printJson(CustomerReport::toJson(summary));
    return 0;
}
}  // namespace

std::vector<CliCommand> reportCommands()
{
    CliCommand command{
        QStringLiteral("report"),
        QStringLiteral("report FILE.rlog -o FILE.pdf [--from ISO8601] [--to ISO8601] [--unit UNIT] "
                       "[--page letter|a4] [--json]"),
        QStringLiteral("the customer report of a raw log: use, night flow and leak verdict as a PDF"),
        {Cli::option({QStringLiteral("o")}, QStringLiteral("FILE.pdf"), QStringLiteral("the report to write")),
         Cli::option({QStringLiteral("from")}, QStringLiteral("ISO8601"), QStringLiteral("leave out what is earlier")),
         Cli::option({QStringLiteral("to")}, QStringLiteral("ISO8601"), QStringLiteral("leave out what is later")),
         Cli::option({QStringLiteral("unit")}, QStringLiteral("UNIT"),
                     QStringLiteral("Gallons, CCF, CF, Cubic Meters or Liters (default: the log's, else Gallons)")),
         Cli::option({QStringLiteral("page")}, QStringLiteral("letter|a4"),
                     QStringLiteral("paper size (default letter)")),
         Cli::flag({QStringLiteral("json")}, QStringLiteral("also print the report's figures as JSON"))},
        writeReport};
    command.gui = true;
    return {command};
}
