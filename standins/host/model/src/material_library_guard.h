// A guard in front of the reading of OBJ material libraries. The assimp
// that Debian 12 ships (5.2) follows a null material, and the program dies,
// when an MTL library names a texture (map_..., bump, disp, norm) or gives
// an anisotropy (a statement that begins with "a") before its first
// newmtl. A user may open any file, so every library is checked
// first: such a library is not read, and the import fails with the reason
// (src/posix/guarded_io.h on Linux, where assimp reads the libraries; the
// Windows reader of libraries refuses them the same way).
#pragma once

#include <string>
#include <string_view>

namespace hostmodel::detail {

// Empty when the library may be read; otherwise why not
// ("line 3: map_Kd before any newmtl").
std::string UnsafeMaterialLibrary(std::string_view text);

}  // namespace hostmodel::detail
