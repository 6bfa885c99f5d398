#include "lan/HostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kz::lan {

std::optional<std::uint32_t> FirstHostAddress() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const std::uint32_t address = ntohl(in->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return address;
}

}  // namespace kz::lan
