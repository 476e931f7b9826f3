// The scene's record of one host element and the hash of its key.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hostsdk/guid.h"
#include "scene/mesh_info.h"

namespace scene {

// The exclusive-or of the 64-bit FNV-1a hashes of the GUID's first and last
// eight bytes.
std::uint64_t HashGuid(const API_Guid& guid);

struct GuidHash {
  std::size_t operator()(const API_Guid& guid) const { return static_cast<std::size_t>(HashGuid(guid)); }
};

struct ElementInfo {
  std::uint32_t genId = 0;                        // host generation id when the bodies were built; 0: nothing built
  std::uint64_t lastWalk = 0;                     // the walk that last found the element
  std::vector<std::unique_ptr<BodyInfo>> bodies;  // host body order
};

}  // namespace scene
