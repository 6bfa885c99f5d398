#include "lan/HostAddress.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace kz::lan {

std::optional<std::uint32_t> FirstHostAddress() {
    // The socket library must be initialised before the first look-up; each call balances
    // its own start-up.
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> result;
    char name[256] = {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::gethostname(name, sizeof name - 1) == 0 &&
        ::getaddrinfo(name, nullptr, &hints, &found) == 0 && found != nullptr) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        result = ntohl(in->sin_addr.s_addr);
        ::freeaddrinfo(found);
    }
    ::WSACleanup();
    return result;
}

}  // namespace kz::lan
