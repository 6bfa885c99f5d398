// The table `kzmnt-cli ports` prints: every serial device present, the COM port that
// section PORTS maps to it, and the adapter's maker, product and serial number.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/SerialPorts.h"

namespace kz::cli {

// One line per device (a head line first), columns padded to their widest entry. A device
// that several COM keys name shows them all ("COM1,COM3"); a ttyS<n> that no COM key names
// shows COM<n+1>, the port the settings map to it by default, unless a key gives that port
// to another device. Texts are shown printable. Empty when devices is empty.
std::string PortsTable(const std::vector<platform::SerialPortInfo>& devices,
                       const std::vector<std::pair<int, std::string>>& portMap);

// Rows of cells as lines of text, each column padded to its widest cell (counted in
// characters, not bytes) and two blanks apart; trailing blanks are cut. The tables of
// kzmnt-cli (ports, history) use it.
std::string AlignedTable(const std::vector<std::vector<std::string>>& rows);

}  // namespace kz::cli
