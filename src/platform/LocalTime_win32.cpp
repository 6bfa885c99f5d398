#include <windows.h>

#include <cstdio>

#include "platform/LocalTime.h"

namespace kz::platform {

std::string LocalTimeStamp() {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u%02u-%02u%02u%02u", local.wYear, local.wMonth,
                  local.wDay, local.wHour, local.wMinute, local.wSecond);
    return text;
}

}  // namespace kz::platform
