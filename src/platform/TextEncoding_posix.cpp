#include <iconv.h>

#include "platform/TextEncodingNative.h"

namespace kz::platform {

namespace {
const auto kNoConverter = reinterpret_cast<iconv_t>(-1);
}

ShiftJisDecoder::ShiftJisDecoder() {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == kNoConverter) {
        cd = iconv_open("UTF-8", "SHIFT_JIS");
    }
    m_pState = cd == kNoConverter ? nullptr : static_cast<void*>(cd);
}

ShiftJisDecoder::~ShiftJisDecoder() {
    if (m_pState != nullptr) {
        iconv_close(static_cast<iconv_t>(m_pState));
    }
}

bool ShiftJisDecoder::Append(std::string_view character, std::string& out) {
    if (m_pState == nullptr) {
        return false;
    }
    auto cd = static_cast<iconv_t>(m_pState);
    char buffer[8];
    char* src = const_cast<char*>(character.data());
    std::size_t srcLeft = character.size();
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1) || srcLeft != 0) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        return false;
    }
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    return true;
}

}  // namespace kz::platform
