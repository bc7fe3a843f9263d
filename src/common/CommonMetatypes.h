#pragma once

// Registers the shared value types and the fixed-width integer aliases so they travel in
// queued signals and QVariant under their own names. Idempotent; every library's own
// registration calls it first.
void registerCommonMetatypes();
