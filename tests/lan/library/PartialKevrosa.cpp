// A LAN library that loads but keeps only part of the contract: it exports the functions up
// to MtoMDLE_Quit (in the binding's order), so MtoMDLE_Bel is the first one it lacks. Its
// sockets never reach a panel: every open and request fails.
#include <cstdint>
#include <cstdlib>

#include "lan/MtoMTypes.h"

#define PARTIAL_EXPORT extern "C" __attribute__((visibility("default")))

using kz::lan::MtoMCallback;
using kz::lan::MtoMSocket;

namespace {
constexpr int kFailure = 2;
}  // namespace

PARTIAL_EXPORT MtoMSocket* KZ_MTOM_CALL CreateMtoMSocket(std::uint32_t /*kind*/) {
    return static_cast<MtoMSocket*>(std::calloc(1, kz::lan::kSocketRecordSize));
}

PARTIAL_EXPORT int KZ_MTOM_CALL OpenMtoMLAN(MtoMSocket*, MtoMCallback, const char*) {
    return kFailure;
}

PARTIAL_EXPORT int KZ_MTOM_CALL CloseMtoM(MtoMSocket*, MtoMCallback) {
    return 0;
}

PARTIAL_EXPORT int KZ_MTOM_CALL FreeMtoMSocket(MtoMSocket* s) {
    std::free(s);
    return 0;
}

PARTIAL_EXPORT int KZ_MTOM_CALL CancelMtoM(MtoMSocket*) {
    return 0;
}

PARTIAL_EXPORT std::uint32_t KZ_MTOM_CALL SetTransitionType(MtoMSocket*, std::uint32_t) {
    return 0;
}

PARTIAL_EXPORT int KZ_MTOM_CALL MtoMFS_FindNode(MtoMSocket*, MtoMCallback, const char*) {
    return kFailure;
}

PARTIAL_EXPORT int KZ_MTOM_CALL MtoMDLE_Communication(MtoMSocket*, MtoMCallback) {
    return kFailure;
}

PARTIAL_EXPORT int KZ_MTOM_CALL MtoMDLE_Quit(MtoMSocket*, MtoMCallback) {
    return kFailure;
}
