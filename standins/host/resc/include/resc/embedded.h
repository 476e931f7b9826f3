// How a compiled resource image travels inside a module: two exported C
// symbols that the host finds with dlsym after loading the module. The image
// is followed by one NUL byte that its size does not count.
#pragma once

namespace resc {
inline constexpr const char* kImageSymbolName = "CorvResourceImage";    // const unsigned char[]
inline constexpr const char* kSizeSymbolName = "CorvResourceImageSize";  // const unsigned long long
}  // namespace resc
