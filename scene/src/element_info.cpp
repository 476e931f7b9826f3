#include "scene/element_info.h"

#include <cstring>

namespace scene {
namespace {

std::uint64_t Fnv1a64(const unsigned char* bytes, std::size_t n) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= bytes[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace

std::uint64_t HashGuid(const API_Guid& guid) {
  unsigned char bytes[16];
  std::memcpy(bytes, &guid, sizeof bytes);
  return Fnv1a64(bytes, 8) ^ Fnv1a64(bytes + 8, 8);
}

}  // namespace scene
