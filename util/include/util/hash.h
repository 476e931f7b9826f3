// The platform digest that the renderer computes too, so results must be
// bit-exact with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace util {

// Digest of src[0..n) into dest[0..m). False (dest untouched) when a buffer
// is null while its size is not zero.
bool HashData(const std::uint8_t* src, std::size_t n, std::uint8_t* dest, std::size_t m);

// HashData over the UTF-16LE bytes of s (no terminator) into 8 bytes, read as
// a little-endian number. The link's status shows it as "fileNameCrc".
std::uint64_t HashFileName(std::u16string_view s);

}  // namespace util
