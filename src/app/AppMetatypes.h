#pragma once

// The start-up library's own value types (the log messages' severity) and, like every library's
// registration, those of the libraries it builds on. Idempotent.
void registerAppMetatypes();
