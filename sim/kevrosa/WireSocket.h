// Blocking message I/O on a connected TCP socket for the protocol of KevrosaWire.h (POSIX).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "sim/kevrosa/KevrosaWire.h"

namespace kz::kevrosa {

// Writes every byte; false when the connection failed.
inline bool SendAll(int fd, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::send(fd, data, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool SendMessage(int fd, const std::vector<std::uint8_t>& body) {
    const std::vector<std::uint8_t> frame = Frame(body);
    return SendAll(fd, frame.data(), frame.size());
}

// Reads exactly count bytes; false at end of stream or on an error.
inline bool ReceiveAll(int fd, std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::recv(fd, data, count, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one message body; false at end of stream, on an error or for a length above
// kMaxMessage.
inline bool ReceiveMessage(int fd, std::vector<std::uint8_t>& body) {
    std::uint8_t length[4];
    if (!ReceiveAll(fd, length, sizeof length)) {
        return false;
    }
    const std::uint32_t n = Reader(length, 4).U32();
    if (n > kMaxMessage) {
        return false;
    }
    body.resize(n);
    return ReceiveAll(fd, body.data(), n);
}

}  // namespace kz::kevrosa
