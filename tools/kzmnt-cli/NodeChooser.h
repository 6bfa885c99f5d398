// The console's choice of a panel among the nodes a network search found: with --yes the
// first one, on a terminal a numbered list to pick from, without a terminal none. When the
// search found nothing the user is told "KZ is not found." and the choice is cancelled, so
// the operation ends as aborted.
//
// Thread-safety: ChooseNode runs on the operation's event thread; the question it asks can
// be cancelled by Ctrl-C like every other question of the console.
#pragma once

#include <string>
#include <vector>

#include "ConsoleView.h"
#include "ops/engine/NodeChooser.h"

namespace kz::cli {

class NodeChooser final : public INodeChooser {
  public:
    NodeChooser(ConsoleView& view, bool yes) : view_(view), yes_(yes) {}

    bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) override;

  private:
    ConsoleView& view_;
    const bool yes_;
};

// The node a typed answer names: "1" is the first of count; 0 for anything else.
std::size_t ParseNodeNumber(const std::string& answer, std::size_t count);

}  // namespace kz::cli
