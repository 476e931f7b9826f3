// Which shared memory object a link's name names now, to tell a link held
// since before from a new one its publisher started under the same name.
#pragma once

#include <cstdint>
#include <string>

namespace velmar {

// An identity of the control area now under the link's name, 0 when there
// is none or when it cannot be told apart. On Linux the object's inode: a
// publisher that restarts its link makes a new object while a renderer still
// maps the old one. On Windows always 0: a name names one section for as
// long as any handle to it is open, so a restarting publisher opens the
// area this renderer holds and marks it closed (the link's IsConnected
// turns false), and there is no second area to tell apart.
std::uint64_t AreaObject(const std::u16string& linkName);

}  // namespace velmar
