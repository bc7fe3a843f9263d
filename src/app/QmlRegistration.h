#pragma once

class QObject;

// The QML types of every subsystem under "localdev" 1.0, in the order the UI expects.
void registerQmlTypes();
// Value and enum types of the subsystems that travel in queued signals and QVariant.
void registerProtocolMetatypes();
// The Runtime service object, or null while the build has none.
QObject *createRuntime();
