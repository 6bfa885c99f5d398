// Text from files and panels made fit for a UTF-8 display. The program's own texts are
// UTF-8; model names in "KZMNT.INI" and comments in images written by the panel maker's
// Windows tools are Shift_JIS (code page 932). A status line may hold both.
//
// Thread-safety: the function keeps no state; call it from any thread.
#pragma once

#include <string>
#include <string_view>

namespace kz::platform {

// bytes as UTF-8: text that is valid UTF-8 is returned as it is; otherwise every valid
// UTF-8 sequence is kept and the other bytes are read as Shift_JIS (code page 932). A byte
// that is neither becomes U+FFFD.
std::string DisplayUtf8(std::string_view bytes);

}  // namespace kz::platform
