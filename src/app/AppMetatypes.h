#pragma once

// The log's message type, which travels from any thread to the log signaller by a queued
// invocation. Idempotent.
void registerAppMetatypes();
