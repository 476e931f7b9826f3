// What a renderer holds of a link, in a form that does not depend on how it
// arrived: per live surface record ("SRFC") its material fields and the
// triangles of its geometry block as three (position, normal, texture
// coordinate) corners each. Each triangle starts at its smallest corner
// (winding kept), the triangles of a surface are sorted, and the surfaces
// are sorted by their material fields and then their triangles. Two links
// that show the same model therefore have equal canonical forms, whatever
// the order of the meshes in a block, of the records in the slots, the
// record and block ids, the change counters or the texture stamps' values.
// Floats are compared bit for bit: the same host data gives the same bits.
//
// It is read from shared memory written by another process: every record
// size, block id, capacity, count and index is checked (through the same
// decoders as velmar's); what fails a check is named in `problems` and left
// out, never read past.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "livelink/live_connection.h"

namespace CorvantaAPI {

struct CanonicalCorner {
  std::array<float, 3> position{};
  std::array<float, 3> normal{};
  std::array<float, 2> texCoord{};
};
using CanonicalTriangle = std::array<CanonicalCorner, 3>;

struct CanonicalMaterial {
  std::u16string name;
  std::int32_t surfaceType = 0;
  std::uint32_t colour = 0;
  // fixedA, shine, fixedB, fixedC, opacity, attenuation, fixedD, percentage.
  std::array<float, 8> floats{};
  bool textured = false;  // the texture stamp is not 0 (its value is the publisher's counter)
  std::u16string texturePath;
  // A digest of the texture: of the block's decoded size and pixels, or of
  // the file's bytes; 0 without texture or when it could not be read.
  std::uint64_t textureDigest = 0;
};

struct CanonicalSurface {
  CanonicalMaterial material;
  std::vector<CanonicalTriangle> triangles;  // canonical order
  // Where it was read; not part of the comparison.
  std::uint32_t slot = 0;
  std::uint32_t recordId = 0;
};

struct CanonicalScene {
  std::vector<CanonicalSurface> surfaces;  // canonical order
  // The name of the surface in the lowest slot (the first published in the
  // run), empty without surfaces; not part of the comparison.
  std::u16string firstSurface;
  // The header's change count when the read began; not compared.
  std::uint32_t changeCount = 0;
  // Checks that failed, "slot N record ID field: reason"; not compared.
  std::vector<std::string> problems;

  std::size_t TriangleCount() const;
};

// Reads every live surface of an open connection (guest or creator). With
// lockTimeoutUs > 0 the link's lock is taken for the read (and released),
// so that the publisher cannot write in between; a read without the lock
// (or when it cannot be had) is still safe, just not a consistent moment.
// Blocks are closed again after reading, so the reader keeps no released
// block alive.
CanonicalScene ReadCanonicalScene(LiveConnection& connection, std::uint32_t lockTimeoutUs = 1000000);

// Orders the triangles and surfaces; ReadCanonicalScene does it already.
// For canonical forms built by hand.
void Canonicalize(CanonicalScene& scene);

bool SameMaterial(const CanonicalMaterial& a, const CanonicalMaterial& b);
bool operator==(const CanonicalScene& a, const CanonicalScene& b);

// Empty when the scenes are equal; otherwise one line per difference.
// Surfaces are paired by their material (name and fields); a surface whose
// fields differ is paired by name and its differing fields are named; for
// paired surfaces it counts the triangles only one side holds and how many
// of those have all corners at the origin (zeroed data). `aName` and `bName`
// say which side is which ("incremental", "fresh").
std::string DescribeDifferences(const CanonicalScene& a, const CanonicalScene& b, const std::string& aName,
                                const std::string& bName);

}  // namespace CorvantaAPI
