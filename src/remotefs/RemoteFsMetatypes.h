#pragma once

// The sessions and the service's status as they cross from the worker thread in queued
// signals. Idempotent.
void registerRemoteFsMetatypes();
