// Who holds a link's name and its lock, asked of Windows (Linux answers the
// same questions inline in live_connection.cpp, from /proc and /dev/shm).
// Windows builds only.
#pragma once

#include <cstdint>
#include <string>

namespace CorvantaAPI {

// Windows cannot list another process's views of a pagefile-backed section:
// a holder counts as mapping the area (true), and only ProcessGone frees a
// lock. docs/windows.md says what that leaves open.
bool HolderMapsArea(std::uint32_t pid, const std::u16string& mappingName);

// A named mapping lives while any handle to it is open, so the name of a
// crashed host's area cannot be freed while a renderer still holds it.
// When the area's creator is gone, the area is marked closed (so the
// renderer sees that link end and lets go); the name stays taken, and the
// answer is false: the new start is refused ("file already open") until
// the renderer has let go. False, changing nothing, for an area that is no
// control area, whose creator lives or is this process.
bool FreeAbandonedName(const std::u16string& mappingName, std::uint32_t self);

}  // namespace CorvantaAPI
