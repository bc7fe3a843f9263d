#pragma once

// The painted items' value types that QML and queued calls carry, with those of the pulse log
// the graphs draw. Idempotent.
void registerItemsMetatypes();
