// The system's Shift_JIS (code page 932) converter behind DisplayUtf8(): iconv on POSIX
// (TextEncoding_posix.cpp), MultiByteToWideChar on Windows (TextEncoding_win32.cpp). Only
// TextEncoding.cpp uses it.
//
// Thread-safety: an object belongs to one thread.
#pragma once

#include <string>
#include <string_view>

namespace kz::platform {

class ShiftJisDecoder {
  public:
    ShiftJisDecoder();
    ~ShiftJisDecoder();
    ShiftJisDecoder(const ShiftJisDecoder&) = delete;
    ShiftJisDecoder& operator=(const ShiftJisDecoder&) = delete;

    // Appends the UTF-8 form of one Shift_JIS character (one or two bytes) to out; false,
    // with out unchanged, when the bytes are no character or no converter is available.
    bool Append(std::string_view character, std::string& out);

  private:
    void* m_pState = nullptr;
};

}  // namespace kz::platform
