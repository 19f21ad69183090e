#include "Platform/Process.h"

#include <pthread.h>

namespace platform {

void atFork(void (*prepare)(), void (*parent)(), void (*child)()) {
    pthread_atfork(prepare, parent, child);
}

} // namespace platform
