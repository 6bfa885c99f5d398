#include <unistd.h>

#include "platform/Process.h"

namespace kz::platform {

unsigned long CurrentProcessId() {
    return static_cast<unsigned long>(::getpid());
}

}  // namespace kz::platform
