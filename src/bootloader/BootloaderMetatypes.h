#pragma once

// The enums of the bootloader client, the firmware file and the mode controller, for signal
// spies, queued connections and QVariant. Idempotent.
void registerBootloaderMetatypes();
