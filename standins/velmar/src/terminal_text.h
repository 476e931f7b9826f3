// Text from shared memory on its way to a terminal. Labels, status texts,
// surface names, link names and the messages quoting them come from another
// process; printed raw, an escape sequence in them could move the cursor,
// retitle the window or hide the lines before it.
#pragma once

#include <string>
#include <string_view>

namespace velmar {

// The text with every control character (C0, DEL and the C1 range
// U+0080..U+009F) written as a visible escape: "\x1b" for a byte, "\u009b"
// for a C1 character. Bytes that are not UTF-8 become U+FFFD. A newline is
// escaped too unless keepNewlines is set, so one quoted value cannot forge a
// line of its own.
std::string Printable(std::string_view text, bool keepNewlines = false);

}  // namespace velmar
