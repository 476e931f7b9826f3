// A generated office building of any size, written as an OBJ model with its
// MTL materials and two texture images, for the benchmarks (and for anyone
// who wants a large model in hostsim). Floors of slabs, brick facade walls
// with window openings, wooden window sills, glass panes (open surfaces,
// so the link shows them double-sided), round smooth-shaded columns on a
// grid, a roof, and a paved ground grid that makes up the rest of the
// triangle count.
//
// The triangle count is exact: every face of m corners counts m - 2, which
// is what the host's fans and a triangulating importer give.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

struct BuildingOptions {
  std::uint64_t triangles = 1'500'000;  // wanted triangle count (at least 2)
  int columnSegments = 16;              // facets of a round column
};

struct BuildingSummary {
  std::uint64_t triangles = 0;  // triangles written
  std::uint64_t vertices = 0;   // "v" lines
  std::uint64_t objects = 0;    // "o" objects (host elements)
  int floors = 0;
  int bays = 0;  // bays along each side of the square plan
  std::string objPath, mtlPath;
};

// Writes <objPath>, the MTL beside it (same name, ".mtl") and the images
// "brick.png" and "oak.jpg" into the same folder. False with a message in
// *error when a file cannot be written.
bool WriteBuilding(const std::string& objPath, const BuildingOptions& options, BuildingSummary* summary,
                   std::string* error);

}  // namespace bench
