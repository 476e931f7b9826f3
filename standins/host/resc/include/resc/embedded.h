// How a compiled resource image travels inside a module. In an ELF module:
// two exported C symbols that the host finds with dlsym after loading it; the
// image is followed by one NUL byte that its size does not count. In a DLL:
// the module's RCDATA resource of this name (the resource compiler's
// --image file), so that a DLL exports only the loader's entry points.
#pragma once

namespace resc {
inline constexpr const char16_t* kResourceName = u"CORVRESOURCES";
inline constexpr const char* kImageSymbolName = "CorvResourceImage";     // const unsigned char[]
inline constexpr const char* kSizeSymbolName = "CorvResourceImageSize";  // const unsigned long long
}  // namespace resc
