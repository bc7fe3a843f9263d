#pragma once

class QObject;

// The QML types of every subsystem under "localdev" 1.0, in the order the UI expects.
void registerQmlTypes();
// The Runtime service object, or null while the build has none.
QObject *createRuntime();
