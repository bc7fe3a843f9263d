#pragma once

// How the application shell reports failure: the run functions return the process exit code;
// everything else only logs (start-up goes on without a missing font or web view). Failures of
// the services created here arrive through their own properties and signals.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QQmlApplicationEngine;

enum class StartupMode { Normal, AdapterRepair, Version, Help };

// Organisation, domain, application name and version; set before anything else so both
// modes find the same application data folder.
void setApplicationIdentity();

// "fixftdi" exactly as the first argument, with at least one argument after it; "--version" or
// "--help" (also "-h") as the first argument.
StartupMode decideStartupMode(const QStringList &arguments);

// What "--help" prints.
QString usageText();

// The repair argument: Base64 of UTF-8 text.
QString decodeRepairArgument(const QString &base64);

// The folder holding the log files (application local data).
QString applicationDataFolder();

// The adapter-repair mode: no application object, no window. Returns the exit code.
int runAdapterRepair(const QStringList &arguments);

// The end of a normal run, each part before what it relies on: the QML engine with every
// object it created, the Runtime, the tasks still running in the global thread pool (they log,
// and may use the serial support), the serial support, and the log last. Either may be null.
void shutdownNormalMode(QObject *engine, QObject *runtime);

// Called with the engine after the context properties are set, before the root document loads.
// The program ships without one; only test builds pass it.
using EngineHook = std::function<void(QQmlApplicationEngine *)>;

// The whole entry point after the platform's argument list has been obtained.
int runApplication(int argc, char **argv, const QStringList &arguments, const EngineHook &beforeLoad = {});
