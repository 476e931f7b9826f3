// A surface's geometry block as velmar keeps it: copied out of shared
// memory with every count, index and point checked, and on later reads
// taken in by difference, so that an edit of a large surface costs about
// one comparison of its bytes rather than a new copy of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scene.h"

namespace velmar {

// The geometry of one surface, kept current with its block.
//
// Each read compares the block's arrays with the geometry held, in chunks
// of chunkBytes; only the chunks that differ are copied out, checked and
// taken in, and their ranges are recorded in the new revision (an index
// chunk that did not change, under a vertex count that did not change,
// needs no check again).
//
// A block whose counts changed (an element added, removed or given more or
// fewer triangles) is compared from both ends: where its front and its back
// hold what was held (the back's indices moved by the change in vertices),
// those parts are kept, moved in memory to their new places with their
// pieces' summaries, and only the part between is copied out, checked and
// summarised. Otherwise it is read whole.
//
// A geometry handed out is never changed while anyone else holds it: the
// update then goes into a second copy (the one before, when nobody holds it
// any more, brought up to date by the ranges it missed; else a new one).
// With nobody else holding the current one, it is changed in place. The
// second copy is let go (Trim) as soon as nobody else holds it: a large
// surface costs one copy between updates.
class HeldGeometry {
 public:
  static constexpr std::size_t kDefaultChunkBytes = std::size_t{64} << 10;
  explicit HeldGeometry(std::size_t chunkBytes = kDefaultChunkBytes);

  // Reads the block from at most `bytes` readable bytes (the smaller of the
  // record's capacity and the block's mapped size). True when the block was
  // taken: current() is its geometry, *changed says whether it differs from
  // what was held (when not, current() is the very same object). False with
  // the failing field ("geometryBlockCapacity", "vertexCount", "indexCount",
  // "texCoordSets", "indices", "positions") in *field and a reason in
  // *error: current() stays the last good geometry. Only the first
  // texture-coordinate set is kept; normals or texture coordinates that
  // are not finite become 0 and are counted in *repaired.
  bool Read(const std::uint8_t* data, std::size_t bytes, bool* changed, std::string* field, std::string* error,
            std::size_t* repaired);

  // Null before the first block was taken.
  std::shared_ptr<const Geometry> current() const { return current_; }
  const Geometry* get() const { return current_.get(); }
  // How many reads so far put their change into a second copy because the
  // geometry before it was held elsewhere.
  std::size_t copies() const { return copies_; }
  // Lets go of the second copy once nobody else holds it.
  void Trim();
  // Lets go of both copies (the surface has no triangles any more).
  void Clear();

 private:
  bool ReadWhole(const std::uint8_t* data, std::uint32_t v, std::uint32_t n, const std::size_t offsets[],
                 std::string* field, std::string* error, std::size_t* repaired);
  bool ReadChanges(const std::uint8_t* data, const std::size_t offsets[], bool* changed, std::string* field,
                   std::string* error, std::size_t* repaired);
  enum class Shifted { kTaken, kRefused, kWhole };
  Shifted ReadShifted(const std::uint8_t* data, std::uint32_t v, std::uint32_t n, const std::size_t offsets[],
                      std::string* field, std::string* error, std::size_t* repaired);
  // A geometry nobody else holds to write the next revision into: the
  // spare when free, else a new one.
  std::shared_ptr<Geometry> FreeCopy();
  void Install(std::shared_ptr<Geometry> next);

  std::size_t chunkBytes_;
  std::shared_ptr<Geometry> current_, spare_;
  std::size_t copies_ = 0;
  std::vector<std::uint32_t> staged_;   // the changed chunks' words, in range order
  std::vector<std::uint64_t> corners_;  // the vertices' digests, while a block read whole is summarised
};

// Copies a geometry block out of at most `bytes` readable bytes, checked as
// HeldGeometry::Read checks it; *geometry is untouched on refusal.
bool ParseGeometryBlock(const std::uint8_t* data, std::size_t bytes, Geometry* geometry, std::string* field,
                        std::string* error, std::size_t* repaired = nullptr);

}  // namespace velmar
