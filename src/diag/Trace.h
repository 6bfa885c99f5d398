// The developer trace: short tagged lines for an external trace viewer (tools/kztrace).
// With no viewer running a call costs one failed shared-memory open and formats nothing.
//
// Transport (see diag/TraceProtocol.h for the names and the layout): the viewer publishes a
// control block "/Wendix32" in POSIX shared memory holding its viewer id (its process id)
// and the signature "Wendix32". A caller claims a free message slot "/Wendix32_00" ...
// "/Wendix32_99" by exclusive creation, writes the tag and the text into it, and hands the
// slot number to the viewer over the viewer's abstract-namespace Unix socket
// ("\0Wendix32.<viewer id>", SOCK_SEQPACKET). The call blocks until the viewer answers that
// it has read the slot, then removes the slot. A viewer that hangs therefore stalls the
// tracing thread; the trace is a development aid and accepts that.
//
// Thread-safety: callable from any thread and any process at the same time; every call
// claims its own message slot.
#pragma once

#include <string>

#include "platform/Format.h"

namespace kz {

// Sends one line to the viewer and returns once the viewer has read it. True when the
// line reached a viewer.
bool TraceMessage(const char* tag, const char* format, ...) KZ_PRINTF_FORMAT(2, 3);

// The prefix of the shared object and socket names, "Wendix32" unless changed. Tests give
// each process its own prefix so that parallel test programs do not see each other's
// slots or viewers. A prefix longer than 64 characters is cut. Any thread may call these;
// a change affects calls that start afterwards.
void SetTraceObjectPrefix(const std::string& prefix);
std::string TraceObjectPrefix();

}  // namespace kz
