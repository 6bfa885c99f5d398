// The shape both LAN CF step tables share (the serial ones are in CfOperation.h):
//
//    0  NodeSearch     1  folder check (receive) / no-op (send)     2  Initialize
//    3  Connect        4  Support_Entry
//    5, 7, ..., 37   one category step per category, in transfer order: CfLanCategoryStep(i)
//    6, 8, ..., 38   the category's card request (CFReceive_Entry, CFSend_Entry):
//                    CfLanRequestStep(i)
//   39  Quit_Entry, then the operation's closing steps (receive: Reset_Entry, Terminate;
//       send: Terminate) and the end marker.
//
// Jumps: the send's request step goes back to its category step for the next file; a
// category step with nothing (left) to send skips its request step.
#pragma once

#include <cstddef>

#include "ops/cf/CfCategory.h"

namespace kz {

inline constexpr int kCfLanNodeSearchStep = 0;
inline constexpr int kCfLanFolderCheckStep = 1;
inline constexpr int kCfLanInitializeStep = 2;
inline constexpr int kCfLanConnectStep = 3;
inline constexpr int kCfLanSupportStep = 4;
inline constexpr int kCfLanFirstCategoryStep = 5;
// The category step of category index, and its card request step right after it.
constexpr int CfLanCategoryStep(std::size_t index) {
    return kCfLanFirstCategoryStep + 2 * static_cast<int>(index);
}
constexpr int CfLanRequestStep(std::size_t index) {
    return CfLanCategoryStep(index) + 1;
}
inline constexpr int kCfLanQuitStep = CfLanCategoryStep(kCfCategoryCount);
static_assert(kCfLanQuitStep == 39);

}  // namespace kz
