#include "CliSupport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>

namespace Cli {
int fail(const QString &message)
{
    fprintf(stderr, "tarrowind-cli: %s\n", message.toLocal8Bit().constData());
    fflush(stderr);
    return 1;
}

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

void printJson(const QJsonObject &object)
{
    printJson(QJsonDocument(object));
}

void printJson(const QJsonDocument &document)
{
    print(QString::fromUtf8(document.toJson(QJsonDocument::Indented)));
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (timeoutMs >= 0 && clock.elapsed() > timeoutMs)
            return done();
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool takeFlag(QStringList &args, const QString &flag)
{
    return args.removeAll(flag) > 0;
}

bool takeOption(QStringList &args, const QString &option, QString *value)
{
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == option && i + 1 < args.size()) {
            *value = args[i + 1];
            args.erase(args.begin() + i, args.begin() + i + 2);
            return true;
        }
        if (args[i].startsWith(option + '=')) {
            *value = args[i].mid(option.size() + 1);
            args.removeAt(i);
            return true;
        }
    }
    return false;
}

bool noUnknownOptions(const QStringList &args, QString *error)
{
    for (const QString &a : args) {
        if (a.startsWith(QLatin1String("--"))) {
            *error = QStringLiteral("unknown option %1").arg(a);
            return false;
        }
    }
    return true;
}
}  // namespace Cli
