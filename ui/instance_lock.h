// Single instance without a display: a lock file in the runtime directory that the running
// instance holds for its whole life (the system releases it when the process ends, however it
// ends).
#pragma once

#include <string>

enum class InstanceLock { Taken, HeldByAnother, Unavailable };

// The lock file: $XDG_RUNTIME_DIR/halvoran.lock, or /tmp/halvoran-<uid>.lock without one.
std::string instanceLockPath();

// Takes the lock at `path` and keeps it for the life of the process. Taken also when this
// process holds it already; Unavailable when the file cannot be opened at all.
InstanceLock takeInstanceLock(const std::string& path);

// Gives the lock up (for tests: the next take in this process starts afresh).
void releaseInstanceLock();
