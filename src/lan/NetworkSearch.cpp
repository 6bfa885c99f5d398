#include "lan/NetworkSearch.h"

#include <cstdio>
#include <cstdlib>

#include "lan/HostAddress.h"
#include "platform/Format.h"

namespace kz::lan {

namespace {

// Trimmed of blanks at both ends, then cut at the first character that is neither a digit
// nor '.'.
std::string_view TrimAndCut(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    std::size_t end = 0;
    while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) {
        ++end;
    }
    return text.substr(0, end);
}

std::string Dotted(std::uint32_t address) {
    return Format("%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
}

}  // namespace

std::string SearchCaption(const std::string& address, int port) {
    return Format("%s : %d", address.c_str(), port);
}

std::string LocalNetworkText(std::uint32_t address) {
    const unsigned first = address >> 24;
    const int hostOctets = first < 128 ? 3 : first < 192 ? 2 : first < 224 ? 1 : 0;
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            text += '.';
        }
        if (i >= 4 - hostOctets) {
            text += "xxx";
        } else {
            text += std::to_string((address >> (24 - 8 * i)) & 0xFF);
        }
    }
    return text;
}

std::string LocalNetworkCaption() {
    const std::optional<std::uint32_t> address = FirstHostAddress();
    return SearchCaption(address ? LocalNetworkText(*address) : "0.0.0.0", kDefaultPort);
}

std::string NormalizeAddress(std::string_view text) {
    const std::string_view cut = TrimAndCut(text);
    if (cut.empty()) {
        return {};
    }
    std::string filled(cut);
    std::size_t dots = 0;
    for (char c : filled) {
        dots += c == '.' ? 1 : 0;
    }
    for (; dots < 3; ++dots) {
        filled += ".0";
    }
    // Four parts, each a decimal number; anything from a fourth dot on is dropped.
    std::uint32_t address = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = filled.find('.', start);
        const std::string_view digits = std::string_view(filled).substr(
            start, dot == std::string::npos ? std::string::npos : dot - start);
        unsigned long value = 0;
        for (char c : digits) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255) {
                // No octet: the whole address is invalid.
                return "255.255.255.255";
            }
        }
        address = (address << 8) | static_cast<std::uint32_t>(value);
        start = dot == std::string::npos ? filled.size() : dot + 1;
    }
    return Dotted(address);
}

std::optional<int> ParsePort(std::string_view text) {
    const std::string_view cut = TrimAndCut(text);
    if (cut.empty()) {
        return kDefaultPort;
    }
    long value = 0;
    for (char c : cut) {
        if (c < '0' || c > '9') {
            break;  // the number ends at the first non-digit
        }
        value = value * 10 + (c - '0');
        if (value > kMaxUserPort) {
            return std::nullopt;
        }
    }
    if (value < kMinUserPort) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::vector<std::string> NodeAddresses(const std::vector<Node>& nodes) {
    std::vector<std::string> out;
    for (const Node& node : nodes) {
        if (!node.valid) {
            continue;
        }
        const bool otherPort =
            node.word >= kMinUserPort && node.word <= kMaxUserPort && node.word != kDefaultPort;
        out.push_back(otherPort ? Dotted(node.address) + ":" + std::to_string(node.word)
                                : Dotted(node.address));
    }
    return out;
}

std::vector<std::string> SearchNodes(const LanLibrary& lib, int port, const char* target) {
    std::vector<std::string> nodes;
    MtoMSocket* socket = lib.CreateMtoMSocket(kSocketKind);
    if (socket == nullptr) {
        return nodes;
    }
    PrepareSearch(socket, port);
    lib.SetTransitionType(socket, kTransitionSearch);
    if (lib.OpenMtoMLAN(socket, nullptr, nullptr) == kResultSuccess &&
        lib.FindNode(socket, nullptr, target) == kResultSuccess) {
        nodes = NodeAddresses(ReadNodeTable(socket));
    }
    lib.CloseMtoM(socket, nullptr);
    lib.CancelMtoM(socket);
    lib.FreeMtoMSocket(socket);
    return nodes;
}

std::vector<std::string> SearchNodes(int port, const std::string& target) {
    LanLibrary lib;
    lib.Load();
    return SearchNodes(lib, port, target.empty() ? nullptr : target.c_str());
}

}  // namespace kz::lan
