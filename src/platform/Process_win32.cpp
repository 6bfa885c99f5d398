#include <windows.h>

#include "platform/Process.h"

namespace kz::platform {

unsigned long CurrentProcessId() {
    return ::GetCurrentProcessId();
}

}  // namespace kz::platform
