#include <windows.h>

#include "platform/TextEncodingNative.h"

namespace kz::platform {

namespace {
constexpr UINT kShiftJis = 932;
}

ShiftJisDecoder::ShiftJisDecoder() = default;
ShiftJisDecoder::~ShiftJisDecoder() = default;

bool ShiftJisDecoder::Append(std::string_view character, std::string& out) {
    // MB_ERR_INVALID_CHARS: a byte pair that is no character fails instead of becoming the
    // code page's default character.
    wchar_t wide[4];
    const int n = ::MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, character.data(),
                                        static_cast<int>(character.size()), wide, 4);
    if (n <= 0) {
        return false;
    }
    char utf8[16];
    const int m = ::WideCharToMultiByte(CP_UTF8, 0, wide, n, utf8, sizeof utf8, nullptr, nullptr);
    if (m <= 0) {
        return false;
    }
    out.append(utf8, static_cast<std::size_t>(m));
    return true;
}

}  // namespace kz::platform
