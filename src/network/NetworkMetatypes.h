#pragma once

// The protocol's value and enum types and the firmware client's, for queued signals (the
// remote filesystem worker receives the client's results) and QVariant. Idempotent.
void registerNetworkMetatypes();
