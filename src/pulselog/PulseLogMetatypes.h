#pragma once

// The pulse log's shared series, handed to graphs through QVariant. Idempotent.
void registerPulseLogMetatypes();
