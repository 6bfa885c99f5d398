// The search for panels on the network, without any user interface: the caption of the
// local network, the rules for an address and a port typed by the user, and the search
// itself over the transfer library. The node list dialogs and the command-line tool share
// them.
//
// Thread-safety: the text functions have no state. SearchNodes loads the library for the
// search and unloads it afterwards; it must not run while a session of the same process is
// open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lan/LanLibrary.h"

namespace kz::lan {

// The port range a user may give.
inline constexpr int kMinUserPort = kMinNodePort;
inline constexpr int kMaxUserPort = kMaxNodePort;

// "%s : %d" of address and port (the caption and the search target).
std::string SearchCaption(const std::string& address, int port);

// The local network of an IPv4 address (first octet in the top byte) in dotted form, with
// the host part of its address class written as "xxx": 192.168.1.5 gives "192.168.1.xxx",
// 10.1.2.3 "10.xxx.xxx.xxx"; 224 and above stay as they are.
std::string LocalNetworkText(std::uint32_t address);

// The caption of this PC's own network with port 8000, e.g. "192.168.1.xxx : 8000". The
// PC's first IPv4 address comes from its host name; when it cannot be had the text is
// "0.0.0.0 : 8000".
std::string LocalNetworkCaption();

// An address as the user typed it, made into a dotted IPv4 address: blanks trimmed, cut at
// the first character that is neither a digit nor '.', missing parts filled with ".0",
// parts after the fourth dropped, each part read as a decimal number ("010" is 10, an empty
// part 0); an address that is no valid IPv4 address becomes "255.255.255.255". Empty when
// nothing is left after the cut.
std::string NormalizeAddress(std::string_view text);

// A port as the user typed it (trimmed and cut like an address): empty means 8000; a number
// outside 1024 to 65535 is refused (nullopt).
std::optional<int> ParsePort(std::string_view text);

// The address to connect to for each valid entry of a node table: "a.b.c.d" for a panel on
// the default port, "a.b.c.d:port" when the entry's word names another port. A word is
// taken as the port the panel was found on when it lies in 1024 to 65535 (the ports a user
// may give); any other word (0, say, from a library that finds panels on the default port
// only) means the default port, so such a library's panels are connected to exactly as
// before.
std::vector<std::string> NodeAddresses(const std::vector<Node>& nodes);

// Searches through lib (loaded): a socket prepared with port, the transition type 3, an
// open without address and the search for target (null: the local network). Any failure of
// the library leaves the list shorter, possibly empty. The socket is freed before return.
std::vector<std::string> SearchNodes(const LanLibrary& lib, int port, const char* target);

// The same with the library loaded from the program folder (or the search path) for the
// search only. target empty: the local network.
std::vector<std::string> SearchNodes(int port, const std::string& target);

}  // namespace kz::lan
