#include "PortsTable.h"

#include <algorithm>
#include <cstdlib>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Printable.h"

namespace kz::cli {

namespace {

// The COM ports that name path: the explicit keys, or the default of a ttyS node.
std::string ComPorts(const std::string& path, const std::vector<std::pair<int, std::string>>& map) {
    std::string ports;
    for (const auto& [port, device] : map) {
        if (device == path) {
            ports += (ports.empty() ? "COM" : ",COM") + std::to_string(port);
        }
    }
    constexpr std::string_view kTtyS = "/dev/ttyS";
    if (ports.empty() && path.starts_with(kTtyS)) {
        const int port = std::atoi(path.c_str() + kTtyS.size()) + 1;
        const bool taken = std::any_of(map.begin(), map.end(),
                                       [port](const auto& entry) { return entry.first == port; });
        if (!taken) {
            ports = "COM" + std::to_string(port);
        }
    }
    return ports;
}

}  // namespace

std::string PortsTable(const std::vector<platform::SerialPortInfo>& devices,
                       const std::vector<std::pair<int, std::string>>& portMap) {
    if (devices.empty()) {
        return {};
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back({GetString(msg::kPortsDevice), GetString(msg::kPortsCom),
                    GetString(msg::kPortsMaker), GetString(msg::kPortsProduct),
                    GetString(msg::kPortsSerialNumber)});
    for (const platform::SerialPortInfo& device : devices) {
        rows.push_back({Printable(device.path), ComPorts(device.path, portMap),
                        Printable(device.maker), Printable(device.product),
                        Printable(device.serialNumber)});
    }
    return AlignedTable(rows);
}

std::string AlignedTable(const std::vector<std::vector<std::string>>& rows) {
    // Widths in characters as a terminal shows them: a UTF-8 continuation byte takes none.
    auto width = [](const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    };
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], width(row[i]));
        }
    }
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line.append(widths[i] - width(row[i]) + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        table += line + "\n";
    }
    return table;
}

}  // namespace kz::cli
