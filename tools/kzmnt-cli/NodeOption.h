// The value of kzmnt-cli's --node option: the panel on the network, taken strictly so that a
// typo never reaches another host. Unlike an address typed into the node search dialog
// (lan::NormalizeAddress, which cuts the text at the first stray character and fills in
// missing parts), the whole value must be an address.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kz::cli {

// text: exactly an IPv4 address, four dot-separated decimal parts of 0 to 255 (leading zeros
// read as the dialog reads them: "010.1.2.3" is 10.1.2.3), optionally ':' and a port of 1024
// to 65535 in decimal digits; blanks (space, tab) are allowed around the address and the
// port. 255.255.255.255 names no panel. Returns "a.b.c.d" or "a.b.c.d:port" as the transfer
// library takes it; nullopt for anything else.
std::optional<std::string> NodeOption(std::string_view text);

}  // namespace kz::cli
