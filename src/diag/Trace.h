// The developer trace: short tagged lines for an external trace viewer (tools/kztrace).
// With no viewer running a call costs one failed shared-memory open and formats nothing.
//
// Thread-safety: callable from any thread and any process at the same time; every call
// claims its own message slot.
#pragma once

namespace kz {

// Sends one line to the viewer and returns once the viewer has read it. True when the
// line reached a viewer.
bool TraceMessage(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kz
