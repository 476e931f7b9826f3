#include "geometry_block.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "base/parallel_for.h"
#include "livelink/layout.h"
#include "prefault.h"

namespace velmar {

namespace {

constexpr int kPositions = static_cast<int>(GeometryArray::kPositions);
constexpr int kNormals = static_cast<int>(GeometryArray::kNormals);
constexpr int kTexCoords = static_cast<int>(GeometryArray::kTexCoords);
constexpr int kIndices = static_cast<int>(GeometryArray::kIndices);

std::uint64_t NextRevision() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

bool Fail(std::string* field, std::string* error, const char* name, std::string reason) {
  *field = name;
  *error = std::move(reason);
  return false;
}

bool FiniteBits(std::uint32_t word) { return (word & 0x7F80'0000u) != 0x7F80'0000u; }

std::uint8_t* Bytes(Geometry& g, int array) {
  return const_cast<std::uint8_t*>(ArrayBytes(g, static_cast<GeometryArray>(array)).data());
}

// Elements of each array for v vertices and n indices.
void Counts(std::size_t v, std::size_t n, std::size_t counts[]) {
  counts[kPositions] = counts[kNormals] = 3 * v;
  counts[kTexCoords] = 2 * v;
  counts[kIndices] = n;
}

bool Consistent(const Geometry& g) {
  const std::size_t v = g.vertexCount();
  return g.positions.size() == 3 * v && g.normals.size() == 3 * v && g.texCoords.size() == 2 * v &&
         g.indices.size() % 3 == 0;
}

std::string IndexPast(std::size_t i, std::uint32_t value, std::size_t v) {
  return "index " + std::to_string(i) + " (triangle " + std::to_string(i / 3) + ") is " + std::to_string(value) +
         ", past the " + std::to_string(v) + " vertices";
}

std::string NotFinitePoint(std::size_t i) { return "vertex " + std::to_string(i / 3) + " is not a finite point"; }

// Copies count elements out of shared memory into out, a chunk at a time,
// each checked while it is still in the cache. False as soon as check
// refuses one. The capacity out had is reused.
template <typename T, typename Check>
bool CopyOut(std::vector<T>& out, const std::uint8_t* source, std::size_t count, std::size_t chunk, Check check) {
  // No huge-page advice for a large array: where the hypervisor takes back
  // free memory in 2 MiB blocks (free page reporting), a fresh huge page
  // must be backed anew and cleared at once; a 10M-triangle first read took
  // 3 to 5 s with the advice against 1 to 2 s without.
  out.clear();
  // Room for an eighth more (address space only until it is written): a
  // surface that grows by an element then keeps its place, where a larger
  // copy of a large surface would be fresh memory to fault in.
  out.reserve(count + count / 8);
  const T* from = reinterpret_cast<const T*>(source);
  for (std::size_t first = 0; first < count; first += chunk) {
    const std::size_t n = std::min(chunk, count - first);
    out.insert(out.end(), from + first, from + first + n);
    if (!check(out.data() + first, n, first)) return false;
  }
  return true;
}

// True when only `held` holds the geometry; what other threads did with it
// before they let it go is then visible here.
bool Alone(const std::shared_ptr<Geometry>& held) {
  if (held.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

// A copy that may stand for held: consistent, with held's counts and a
// revision of its own.
bool SameShape(const Geometry& copy, const Geometry& held) {
  return copy.revision != 0 && copy.positions.size() == held.positions.size() &&
         copy.indices.size() == held.indices.size() && Consistent(copy);
}

// Words of one array copied out of a block, and where they lie in the
// staging buffer.
struct Staged {
  ArrayRange range;
  std::size_t at;  // first word in the buffer
};

// Checks staged words as a read whole checks them, in its order (indices
// below v, then points finite), and repairs normals and texture coordinates
// that are not finite (counted in *fixed). False with the refusal in
// *field and *error.
bool CheckStaged(std::vector<std::uint32_t>& words, const std::vector<Staged>& staged, std::size_t v,
                 std::string* field, std::string* error, std::size_t* fixed) {
  *fixed = 0;
  for (int pass = 0; pass < 2; ++pass)
    for (const Staged& s : staged) {
      std::uint32_t* w = words.data() + s.at;
      if (pass == 0 && s.range.array == GeometryArray::kIndices) {
        for (std::size_t i = 0; i < s.range.count; ++i)
          if (w[i] >= v) return Fail(field, error, "indices", IndexPast(s.range.first + i, w[i], v));
      } else if (pass == 1 && s.range.array == GeometryArray::kPositions) {
        for (std::size_t i = 0; i < s.range.count; ++i)
          if (!FiniteBits(w[i])) return Fail(field, error, "positions", NotFinitePoint(s.range.first + i));
      } else if (pass == 1 && s.range.array != GeometryArray::kIndices) {
        for (std::size_t i = 0; i < s.range.count; ++i)
          if (!FiniteBits(w[i])) w[i] = 0, ++*fixed;
      }
    }
  return true;
}

// How many of the first `limit` bytes of a and b are equal, found a chunk
// at a time.
std::size_t SameFront(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  constexpr std::size_t kStep = std::size_t{64} << 10;
  std::size_t at = 0;
  while (at < limit) {
    const std::size_t len = std::min(kStep, limit - at);
    if (std::memcmp(a + at, b + at, len) != 0) break;
    at += len;
  }
  while (at < limit && a[at] == b[at]) ++at;
  return at;
}

// How many of the last `limit` bytes before aEnd and bEnd are equal.
std::size_t SameBack(const std::uint8_t* aEnd, const std::uint8_t* bEnd, std::size_t limit) {
  constexpr std::size_t kStep = std::size_t{64} << 10;
  std::size_t at = 0;  // bytes found equal, counted from the ends
  while (at < limit) {
    const std::size_t len = std::min(kStep, limit - at);
    if (std::memcmp(aEnd - at - len, bEnd - at - len, len) != 0) break;
    at += len;
  }
  while (at < limit && aEnd[-1 - std::ptrdiff_t(at)] == bEnd[-1 - std::ptrdiff_t(at)]) ++at;
  return at;
}

// How many of the last `limit` indices before nowEnd equal those before
// heldEnd moved by `shift` vertices (modulo 2^32, as the words are).
std::size_t SameBackMoved(const std::uint32_t* nowEnd, const std::uint32_t* heldEnd, std::size_t limit,
                          std::uint32_t shift) {
  std::size_t at = 0;
  while (at < limit && nowEnd[-1 - std::ptrdiff_t(at)] == heldEnd[-1 - std::ptrdiff_t(at)] + shift) ++at;
  return at;
}

// Moves `count` words of an array from word `from` to word `to` and gives
// it `length` words, growing it first or shrinking it after so that the
// words moved are never cut off.
template <typename T>
void MoveTail(std::vector<T>& words, std::size_t from, std::size_t to, std::size_t count, std::size_t length) {
  if (length > words.size()) words.resize(length);
  if (count != 0 && from != to) std::memmove(words.data() + to, words.data() + from, count * sizeof(T));
  words.resize(length);
}

}  // namespace

HeldGeometry::HeldGeometry(std::size_t chunkBytes) : chunkBytes_(std::max<std::size_t>(4, chunkBytes / 4 * 4)) {}

void HeldGeometry::Trim() {
  if (spare_ && Alone(spare_)) spare_.reset();
}

void HeldGeometry::Clear() {
  current_.reset();
  spare_.reset();
  staged_ = {};
}

std::shared_ptr<Geometry> HeldGeometry::FreeCopy() {
  if (spare_ && Alone(spare_)) return spare_;
  spare_ = std::make_shared<Geometry>();
  return spare_;
}

void HeldGeometry::Install(std::shared_ptr<Geometry> next) {
  if (next == current_) return;
  // The one before stays as the next spare: it is what a later update
  // writes into once its holders have let it go.
  spare_ = std::move(current_);
  current_ = std::move(next);
}

bool HeldGeometry::Read(const std::uint8_t* data, std::size_t bytes, bool* changed, std::string* field,
                        std::string* error, std::size_t* repaired) {
  *changed = false;
  if (repaired != nullptr) *repaired = 0;
  if (data == nullptr || bytes < sizeof(CorvantaAPI::GeometryBlockHeader))
    return Fail(field, error, "geometryBlockCapacity",
                "block of " + std::to_string(bytes) + " bytes cannot hold the counts");
  CorvantaAPI::GeometryBlockHeader header;
  std::memcpy(&header, data, sizeof header);  // one copy: the peer may rewrite the block meanwhile
  if (header.texCoordSets == 0) return Fail(field, error, "texCoordSets", "no texture-coordinate set");
  if (header.indexCount % 3 != 0)
    return Fail(field, error, "indexCount", std::to_string(header.indexCount) + " is not a multiple of 3");
  const auto layout = CorvantaAPI::GeometryLayout(header.vertexCount, header.indexCount, header.texCoordSets);
  if (layout.totalBytes > bytes)
    return Fail(field, error, header.indexCount == 0 || layout.indices > bytes ? "vertexCount" : "indexCount",
                std::to_string(header.vertexCount) + " vertices, " + std::to_string(header.indexCount) +
                    " indices and " + std::to_string(header.texCoordSets) + " coordinate sets need " +
                    std::to_string(layout.totalBytes) + " bytes, the block holds " + std::to_string(bytes));
  const std::size_t offsets[kGeometryArrays] = {layout.positions, layout.normals, layout.texCoords, layout.indices};
  if (current_ && Consistent(*current_)) {
    if (current_->vertexCount() == header.vertexCount && current_->indices.size() == header.indexCount)
      return ReadChanges(data, offsets, changed, field, error, repaired);
    switch (ReadShifted(data, header.vertexCount, header.indexCount, offsets, field, error, repaired)) {
      case Shifted::kTaken: *changed = true; return true;
      case Shifted::kRefused: return false;
      case Shifted::kWhole: break;
    }
  }
  Prefault(data, layout.totalBytes);
  if (!ReadWhole(data, header.vertexCount, header.indexCount, offsets, field, error, repaired)) return false;
  *changed = true;
  return true;
}

bool HeldGeometry::ReadWhole(const std::uint8_t* data, std::uint32_t v, std::uint32_t n, const std::size_t offsets[],
                             std::string* field, std::string* error, std::size_t* repaired) {
  std::shared_ptr<Geometry> target = FreeCopy();
  target->revision = 0;  // no revision until it holds one whole
  const std::size_t chunk = chunkBytes_ / 4;
  // The four arrays are copied and checked side by side: they do not
  // depend on each other, and a first read of a large surface is mostly
  // the faulting-in of fresh memory, which two cores do twice as fast. The
  // refusal named is the one a read in order would meet first: indices,
  // then points.
  std::string reasons[2];
  bool refused[2] = {false, false};
  std::size_t repairs[2] = {0, 0};
  auto repairInto = [](std::size_t& tally) {
    return [&tally](float* values, std::size_t count, std::size_t) {
      for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(values[i])) values[i] = 0, ++tally;
      return true;
    };
  };
  base::ParallelFor(4, [&](std::size_t task) {
    switch (task) {
      case 0:
        refused[0] = !CopyOut(target->indices, data + offsets[kIndices], n, chunk,
                              [&](const std::uint32_t* values, std::size_t count, std::size_t first) {
                                for (std::size_t i = 0; i < count; ++i)
                                  if (values[i] >= v) {
                                    reasons[0] = IndexPast(first + i, values[i], v);
                                    return false;
                                  }
                                return true;
                              });
        break;
      case 1:
        refused[1] = !CopyOut(target->positions, data + offsets[kPositions], std::size_t{3} * v, chunk,
                              [&](const float* values, std::size_t count, std::size_t first) {
                                for (std::size_t i = 0; i < count; ++i)
                                  if (!std::isfinite(values[i])) {
                                    reasons[1] = NotFinitePoint(first + i);
                                    return false;
                                  }
                                return true;
                              });
        break;
      case 2:
        CopyOut(target->normals, data + offsets[kNormals], std::size_t{3} * v, chunk, repairInto(repairs[0]));
        break;
      default:
        CopyOut(target->texCoords, data + offsets[kTexCoords], std::size_t{2} * v, chunk, repairInto(repairs[1]));
        break;
    }
  });
  if (refused[0]) return Fail(field, error, "indices", reasons[0]);
  if (refused[1]) return Fail(field, error, "positions", reasons[1]);
  const std::size_t fixed = repairs[0] + repairs[1];
  if (repaired != nullptr) *repaired = fixed;
  SummarisePieces(*target, &corners_);
  target->revision = NextRevision();
  target->base = 0;
  target->changed.clear();
  Install(std::move(target));
  return true;
}

bool HeldGeometry::ReadChanges(const std::uint8_t* data, const std::size_t offsets[], bool* changed, std::string* field,
                               std::string* error, std::size_t* repaired) {
  Geometry& held = *current_;
  const std::size_t v = held.vertexCount();
  std::size_t counts[kGeometryArrays];
  Counts(v, held.indices.size(), counts);
  // The chunks that differ, copied out once: what is checked is what is
  // taken, whatever the peer writes meanwhile.
  std::vector<Staged> staged;
  staged_.clear();
  for (int a = 0; a < kGeometryArrays; ++a) {
    const std::uint8_t* source = data + offsets[a];
    const std::uint8_t* mine = Bytes(held, a);
    const std::size_t total = counts[a] * 4;
    for (std::size_t at = 0; at < total; at += chunkBytes_) {
      const std::size_t len = std::min(chunkBytes_, total - at);
      if (std::memcmp(source + at, mine + at, len) == 0) continue;
      const std::size_t word = staged_.size();
      staged_.resize(word + len / 4);
      std::memcpy(staged_.data() + word, source + at, len);
      if (!staged.empty() && static_cast<int>(staged.back().range.array) == a &&
          staged.back().range.first + staged.back().range.count == at / 4)
        staged.back().range.count += len / 4;
      else staged.push_back({{static_cast<GeometryArray>(a), at / 4, len / 4}, word});
    }
  }
  std::size_t fixed = 0;
  if (!CheckStaged(staged_, staged, v, field, error, &fixed)) return false;
  if (repaired != nullptr) *repaired = fixed;
  // A repaired value differs from the block but not from what is held.
  std::vector<ArrayRange> ranges;
  std::erase_if(staged, [&](const Staged& s) {
    return std::memcmp(staged_.data() + s.at, Bytes(held, static_cast<int>(s.range.array)) + s.range.first * 4,
                       s.range.count * 4) == 0;
  });
  if (staged.empty()) return true;

  // Asked before `target` takes its own reference, which would make the
  // current geometry look held elsewhere and cost every edit a second copy.
  const bool inPlace = Alone(current_);
  std::shared_ptr<Geometry> target = current_;
  if (!inPlace) {
    // Someone holds the current geometry: the next one is the spare (or a
    // new copy), brought to the current state first.
    ++copies_;
    target = FreeCopy();
    if (SameShape(*target, held) && target->revision == held.base) {
      for (const ArrayRange& r : held.changed)
        std::memcpy(Bytes(*target, static_cast<int>(r.array)) + r.first * 4,
                    Bytes(held, static_cast<int>(r.array)) + r.first * 4, r.count * 4);
    } else {
      target->positions = held.positions;
      target->normals = held.normals;
      target->texCoords = held.texCoords;
      target->indices = held.indices;
    }
    target->pieces = held.pieces;
    target->bounds = held.bounds;
  }
  for (const Staged& s : staged) {
    std::memcpy(Bytes(*target, static_cast<int>(s.range.array)) + s.range.first * 4, staged_.data() + s.at,
                s.range.count * 4);
    ranges.push_back(s.range);
  }
  ResummarisePieces(*target, ranges);
  target->base = held.revision;
  target->revision = NextRevision();
  target->changed = std::move(ranges);
  Install(std::move(target));
  *changed = true;
  return true;
}

HeldGeometry::Shifted HeldGeometry::ReadShifted(const std::uint8_t* data, std::uint32_t vn, std::uint32_t n,
                                                const std::size_t offsets[], std::string* field, std::string* error,
                                                std::size_t* repaired) {
  const Geometry& held = *current_;
  if (!PiecesCover(held)) return Shifted::kWhole;
  // The kept parts are moved where they lie: in the current geometry when
  // nobody else holds it, else in the spare when it is a copy of it.
  if (!Alone(current_)) {
    ++copies_;
    return Shifted::kWhole;
  }
  std::shared_ptr<Geometry> target = current_;
  const std::size_t vo = held.vertexCount(), to = held.triangleCount(), tn = n / 3;
  const std::uint32_t vShift = vn - static_cast<std::uint32_t>(vo);  // modulo 2^32, as indices are moved

  // The vertices equal at the front and at the back in every array, and the
  // indices equal at the front and (moved) at the back.
  const std::size_t per[kGeometryArrays] = {3, 3, 2, 1};
  std::size_t same[kGeometryArrays][2];
  base::ParallelFor(kGeometryArrays, [&](std::size_t a) {
    const std::uint8_t* now = data + offsets[a];
    const std::uint8_t* mine = ArrayBytes(held, static_cast<GeometryArray>(a)).data();
    if (a == kIndices) {
      const std::size_t limit = 3 * std::min(to, tn);
      same[a][0] = SameFront(now, mine, 4 * limit) / 4;
      same[a][1] = SameBackMoved(reinterpret_cast<const std::uint32_t*>(now) + 3 * tn, held.indices.data() + 3 * to,
                                 limit, vShift);
    } else {
      const std::size_t bytes = 4 * per[a], limit = bytes * std::min<std::size_t>(vo, vn);
      same[a][0] = SameFront(now, mine, limit) / bytes;
      same[a][1] = SameBack(now + bytes * vn, mine + bytes * vo, limit) / bytes;
    }
  });
  std::size_t front = std::min({same[kPositions][0], same[kNormals][0], same[kTexCoords][0]});
  std::size_t back = std::min({same[kPositions][1], same[kNormals][1], same[kTexCoords][1]});
  back = std::min(back, std::min<std::size_t>(vo, vn) - front);

  // The pieces kept: at the front, those whose triangles are all equal and
  // use only front vertices; at the back, those whose triangles are all
  // equal (moved) and use only back vertices.
  std::vector<GeometryPiece> keptFront, keptBack;
  for (const GeometryPiece& piece : held.pieces) {
    if (piece.firstTriangle + piece.triangles > same[kIndices][0] / 3 || piece.lastVertex >= front) break;
    keptFront.push_back(piece);
  }
  const std::size_t frontEnd = keptFront.empty() ? 0 : keptFront.back().firstTriangle + keptFront.back().triangles;
  const std::size_t backFrom = to - same[kIndices][1] / 3;  // the first old triangle of the equal back
  for (std::size_t p = held.pieces.size(); p-- > keptFront.size();) {
    GeometryPiece piece = held.pieces[p];
    if (piece.firstTriangle < backFrom || piece.firstVertex < vo - back ||
        piece.firstTriangle + tn < frontEnd + to)  // its new place would reach into the front
      break;
    piece.firstTriangle = piece.firstTriangle + tn - to;
    piece.firstVertex += vShift;
    piece.lastVertex += vShift;
    keptBack.push_back(piece);
  }
  std::reverse(keptBack.begin(), keptBack.end());
  const std::size_t backStart = keptBack.empty() ? tn : keptBack.front().firstTriangle;  // in the new numbering
  // Worth it only when most of the block is kept.
  if (2 * (frontEnd + (tn - backStart)) < tn) return Shifted::kWhole;

  // The part between, copied out once and checked as a whole read checks.
  const std::size_t middleVertices = vn - back - front;
  std::vector<Staged> middle;
  staged_.clear();
  for (int a = 0; a < kGeometryArrays; ++a) {
    const ArrayRange range{static_cast<GeometryArray>(a), a == kIndices ? 3 * frontEnd : per[a] * front,
                           a == kIndices ? 3 * (backStart - frontEnd) : per[a] * middleVertices};
    middle.push_back({range, staged_.size()});
    staged_.resize(staged_.size() + range.count);
    std::memcpy(staged_.data() + middle.back().at, data + offsets[a] + 4 * range.first, 4 * range.count);
  }
  std::size_t fixed = 0;
  if (!CheckStaged(staged_, middle, vn, field, error, &fixed)) return Shifted::kRefused;
  if (repaired != nullptr) *repaired = fixed;

  // The back of each array to its new place, the part between into the gap.
  Geometry& g = *target;
  base::ParallelFor(kGeometryArrays, [&](std::size_t a) {
    if (a == kIndices) {
      const std::size_t words = 3 * (tn - backStart);
      MoveTail(g.indices, 3 * to - words, 3 * backStart, words, 3 * tn);
      if (vShift != 0)
        for (std::size_t i = 3 * backStart; i < 3 * tn; ++i) g.indices[i] += vShift;
    } else {
      std::vector<float>& words = a == kPositions ? g.positions : a == kNormals ? g.normals : g.texCoords;
      MoveTail(words, per[a] * (vo - back), per[a] * (vn - back), per[a] * back, per[a] * vn);
    }
    const Staged& m = middle[a];
    std::memcpy(Bytes(g, static_cast<int>(a)) + 4 * m.range.first, staged_.data() + m.at, 4 * m.range.count);
  });
  SummariseBetween(g, std::move(keptFront), std::move(keptBack));
  g.revision = NextRevision();
  g.base = 0;  // a spare follows it whole
  g.changed.clear();
  Install(std::move(target));
  return Shifted::kTaken;
}

bool ParseGeometryBlock(const std::uint8_t* data, std::size_t bytes, Geometry* geometry, std::string* field,
                        std::string* error, std::size_t* repaired) {
  HeldGeometry held;
  bool changed = false;
  if (!held.Read(data, bytes, &changed, field, error, repaired)) return false;
  *geometry = *held.current();
  return true;
}

}  // namespace velmar
