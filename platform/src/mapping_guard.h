// The guard against a peer that shrinks a shared memory object under our
// views. On Windows a section cannot shrink while mapped; here another
// process can ftruncate it, and the next access past the new end raises
// SIGBUS. A process-wide handler replaces such a view by zero-filled private
// pages at the same address and marks it broken, so the access completes
// with zeros, validation fails and the link ends cleanly. Faults outside our
// views go on to the handler that was installed before.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::detail {

// Records a view (installs the handler on first use). False when the table
// is full; the view then works unguarded.
bool GuardView(void* base, std::size_t length, int protection);
// Forgets a view before it is unmapped.
void UnguardView(const void* base);
// True once the handler replaced the view at base.
bool ViewBroken(const void* base);
// How many views the handler has replaced since the process started.
std::uint64_t BrokenCount();

}  // namespace platform::detail
