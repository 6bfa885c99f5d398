// What a LAN operation asks its front-end when it has searched the network: which of the
// panels found to use. The window shows its node list; the command-line tool lists the
// nodes by number on a terminal.
//
// Thread-safety: ChooseNode runs on the operation's event thread and may block it until
// the user has answered (never the front-end's UI thread).
#pragma once

#include <string>
#include <vector>

namespace kz {

class INodeChooser {
  public:
    virtual ~INodeChooser() = default;
    // nodes may be empty. True with *address set when the user chose one; false for Cancel.
    virtual bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) = 0;
};

}  // namespace kz
