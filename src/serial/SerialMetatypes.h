#pragma once

// The serial library's types as they travel in queued signals and QVariant, under the names
// the user interface uses ("MlSerialPort::Parity") and the class's own. Idempotent.
void registerSerialMetatypes();
