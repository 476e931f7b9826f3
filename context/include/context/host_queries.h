// The controller's questions to the host: the project's path, the current
// window, the 3D projection and the host's version. Each is one or two host
// requests by selector; a failing request gives the stated neutral answer,
// never an exception.
#pragma once

#include <string>
#include <string_view>

namespace context {

// The project's file path: empty when the query fails or the project is
// untitled. A teamwork project gives the text of its location URL after the
// last '@', percent-decoded twice, with ".pln" appended.
std::u16string GetProjectFilePath();
// The environment's project query succeeds (a project is open).
bool IsProjectAvailable();
bool Is3DWindowCurrent();
// False when the current window cannot be asked for; otherwise asks the host
// to switch to the 3D window when it is not current and returns true.
bool Make3DWindowCurrent();
// False when the projection cannot be read.
bool IsPerspectiveView();
// Makes the 3D window current, sets a perspective projection and, when that
// worked, rebuilds.
void SwitchToPerspective();
// The host's version text; empty when the query fails.
std::u16string GetHostVersion();
// "ArchiCAD <version>"; empty when the query fails.
std::u16string GetHostLabel();

// One round of percent-decoding as the host's teamwork URLs need it: "%XX"
// gives a byte; bytes below 128 are characters, two- and three-byte UTF-8
// sequences give one UTF-16 unit, longer ones and stray continuation bytes
// give nothing; a '%' with fewer than two characters behind it, or followed
// by something that is not hexadecimal, is copied.
std::u16string PercentDecode(std::u16string_view text);

// The connection name of a project path: the path up to the '.' that starts
// the extension of its last component (the whole path when that component
// has none), followed by ".dae".
std::u16string ConnectionNameFor(std::u16string_view projectPath);
// The file name part of a connection name (behind the last '/').
std::u16string FileNameOf(std::u16string_view path);

}  // namespace context
