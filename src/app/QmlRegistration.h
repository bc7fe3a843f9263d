#pragma once

class QObject;

// The QML types of every subsystem under "localdev" 1.0, in the order the UI expects.
void registerQmlTypes();
// The Runtime service object; the caller owns it.
QObject *createRuntime();
