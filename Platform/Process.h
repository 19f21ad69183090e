// Process-level hooks of the operating system that library code needs without including its
// headers. Any thread.
#pragma once

namespace platform {

// Registers handlers around fork(): `prepare` runs in the parent before the fork, `parent` in the
// parent after it, `child` in the new child process (its only thread). Registered for the life of
// the process; each call adds one set.
void atFork(void (*prepare)(), void (*parent)(), void (*child)());

} // namespace platform
