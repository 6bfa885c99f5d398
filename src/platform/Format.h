// printf-style formatting into a std::string, for status lines built from string-table
// formats ("    Buckup(%d/%d)...") and for wire frames ("%c>m%08X%08X%c").
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// printf-style argument checking. MinGW's runtime formats like C99 (the C++ library asks for
// its own printf), so its checks follow GNU printf rather than Microsoft's.
#if defined(__MINGW32__)
#define KZ_PRINTF_FORMAT(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define KZ_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

namespace kz {

inline std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

inline std::string Format(const char* format, ...) KZ_PRINTF_FORMAT(1, 2);
inline std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

}  // namespace kz
