// This PC's own IPv4 address, for the caption of the local network.
//
// Thread-safety: may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace kz::lan {

// The first IPv4 address of the PC's host name (first octet in the top byte); nullopt when
// the name or its address cannot be had.
std::optional<std::uint32_t> FirstHostAddress();

}  // namespace kz::lan
