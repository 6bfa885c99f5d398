// CCfOperation: what the serial CF receive and send share — the PC folder the user chose,
// the category a step of the table stands for, and the answers the panel gives to a range
// request, a next request or a file announcement.
//
// Both step tables have the same shape:
//
//    0  folder check (receive) / no-op (send)    1  Initialize
//    2  Handshaking                               3  ChangeSIO
//    4, 6, ..., 36   one category step per category, in transfer order: CfCategoryStep(i)
//    5, 7, ..., 37   the common transfer step (the same entry seventeen times): CfCommonStep(i)
//   38  Quit                                     39  Terminate     40  end marker
//
// Jumps: the common step goes back to its category step for the next file; a category
// step whose list is done goes on to the next category's step (after the last one: Quit).
//
// Thread-safety: as CProtocol. SetFolder belongs to the front-end before the start.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "ops/cf/CfCategory.h"
#include "ops/engine/StepEngine.h"
#include "serial/Protocol.h"

namespace kz {

// The entries of both CF step tables.
inline constexpr int kCfFolderCheckStep = 0;  // receive: folder check; send: no-op
inline constexpr int kCfInitializeStep = 1;
inline constexpr int kCfHandshakingStep = 2;
inline constexpr int kCfChangeSioStep = 3;
inline constexpr int kCfFirstCategoryStep = 4;
// The category step of category index, and the common transfer step right after it.
constexpr int CfCategoryStep(std::size_t index) {
    return kCfFirstCategoryStep + 2 * static_cast<int>(index);
}
constexpr int CfCommonStep(std::size_t index) {
    return CfCategoryStep(index) + 1;
}
inline constexpr int kCfQuitStep = CfCategoryStep(kCfCategoryCount);
inline constexpr int kCfTerminateStep = kCfQuitStep + 1;
inline constexpr int kCfEndMarkerStep = kCfTerminateStep + 1;
inline constexpr int kCfStepCount = kCfEndMarkerStep + 1;
static_assert(kCfQuitStep == 38 && kCfStepCount == 41);

// The endings both CF sub-step machines share; each puts its machine back on sub-step 1.
inline constexpr int kCfSubStepError = 97;                       // m_nError is already set
inline constexpr int kCfSubStepWriteFailed = kPhaseWriteFailed;  // msg::kCheckPower
inline constexpr int kCfSubStepAborted = kPhaseAborted;          // msg::kAborted

// Data bytes of one block at most, either way; and the framing of a block the panel sends:
// five length digits before the data, its two checksum characters after it.
inline constexpr int kCfBlockSize = 65280;
inline constexpr int kCfBlockFraming = 7;

// A result answer from the panel: four characters, the third "E", the fourth the result.
bool IsCfResultAnswer(std::string_view payload);
// The error id of a result character: 0 for "0" (nothing more / file done), 4012 no CF
// card, 5021, 5020, 5019, 5018 for the card's read, write, delete and folder errors, and
// 4000 for any other character.
int CfResultError(char result);

class CCfOperation : public CProtocol {
  public:
    // The PC folder of the transfer, exactly as the user chose it.
    void SetFolder(const std::string& folder) { m_csFolder = folder; }

  protected:
    // The category whose step (or common step) sits at table index phase (4 to 37).
    static const CfCategory& CategoryAt(int phase);
    static int CategoryIndexAt(int phase) { return (phase - kCfFirstCategoryStep) / 2; }

    // Makes entry step the next to run.
    void GoTo(int step) { m_nPhase = PhaseBefore(step); }

    // Writes a frame; true when the port took all of it.
    bool WriteBytes(std::string_view bytes);

    std::string m_csFolder;
};

}  // namespace kz
