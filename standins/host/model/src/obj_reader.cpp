#include "obj_reader.h"

#include "mapped_file.h"
#include "assimp_numbers.h"
#include "mtl_reader.h"
#include "obj_materials.h"

#include <assimp/scene.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "base/parallel_for.h"

namespace hostmodel::detail {

DirectScene::DirectScene() = default;

DirectScene::~DirectScene() {
  if (!scene_) return;
  for (unsigned m = 0; m < scene_->mNumMeshes; ++m) ReleaseMesh(m);
  delete scene_;
}

void DirectScene::ReleaseMesh(unsigned m) {
  if (!scene_ || m >= scene_->mNumMeshes) return;
  aiMesh* mesh = scene_->mMeshes[m];
  scene_->mMeshes[m] = nullptr;
  if (mesh != nullptr && mesh->mFaces != nullptr)
    // The faces point into the pool; aiFace's destructor would free them.
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) mesh->mFaces[f].mIndices = nullptr;
  delete mesh;
  if (m < pools_.size()) pools_[m].reset();
}

namespace {

// A face corner's index (1-based, or negative counting back from the
// current end); -2 for a malformed one.
const char* ParseIndex(const char* p, const char* end, std::int64_t count, std::int32_t& out) {
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  // assimp takes a face index padded with zeros apart into several faces
  // and points: such files are its to read.
  if (p == end || !IsDigit(*p) || *p == '0') return nullptr;
  std::int64_t v = 0;
  unsigned n = 8;
  if (end - p >= 8) {
    // Up to seven digits cannot pass the limit below.
    const std::uint64_t x = Load8(p);
    n = DigitRun8(x);
    if (n < 8) {
      v = static_cast<std::int64_t>(DigitValue8(x, n));
      p += n;
    }
  }
  while (n == 8 && p < end && IsDigit(*p)) {
    v = v * 10 + (*p - '0');
    if (v > 0x7fffffff) return nullptr;
    ++p;
  }
  if (v == 0) return nullptr;
  const std::int64_t index = negative ? count - v : v - 1;
  if (index < 0 || index >= count) return nullptr;
  out = static_cast<std::int32_t>(index);
  return p;
}

struct Corner {
  std::int32_t v = -1, t = -1, n = -1;
};

// A line of the file as the reader takes it apart: its first word and the
// rest, blanks around the rest dropped.
struct Line {
  const char* word = nullptr;
  std::string_view tag;
  const char* s = nullptr;
  const char* e = nullptr;
};

enum class LineKind { kEmpty, kLine, kLeftToAssimp };

// The line at p, which moves past it. kEmpty for a blank or comment line;
// kLeftToAssimp, with *why, for a form whose treatment by assimp the reader
// does not reproduce.
LineKind SplitLine(const char*& p, const char* end, Line& line, const char** why) {
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
  const char* lineEnd = nl ? nl : end;
  const char* next = nl ? nl + 1 : end;
  const char* e = lineEnd;
  if (e > p && e[-1] == '\r') --e;
  const char* unTrimmed = e;
  while (e > p && IsBlank(e[-1])) --e;
  const char* lineStart = p;
  const char* s = SkipBlanks(p, e);
  p = next;
  if (s == e || *s == '#') return LineKind::kEmpty;
  // assimp does not take every blank for a separator.
  if (s != lineStart || std::memchr(s, '\t', static_cast<std::size_t>(e - s))) {
    *why = "tabs or indented lines";
    return LineKind::kLeftToAssimp;
  }
  if (e[-1] == '\\') {
    *why = "continued lines";
    return LineKind::kLeftToAssimp;
  }
  line.word = s;
  while (s < e && !IsBlank(*s)) ++s;
  line.tag = std::string_view(line.word, static_cast<std::size_t>(s - line.word));
  // Names are taken whole, blanks between words included; whether
  // assimp keeps blanks around them is left to it.
  const bool nameLine = line.tag == "o" || line.tag == "g" || line.tag == "usemtl";
  if (nameLine && (e != unTrimmed || s == e || s + 1 == e || s[1] == ' ' ||
                   std::string_view(s, static_cast<std::size_t>(e - s)).find("  ") != std::string_view::npos)) {
    *why = "a name with surrounding or repeated blanks";
    return LineKind::kLeftToAssimp;
  }
  line.s = SkipBlanks(s, e);
  line.e = e;
  return LineKind::kLine;
}

// Up to most numbers from s into v (the others left as they are): their
// count, or kTooMany, kBadForm (a form left to assimp), kNotFinite.
constexpr int kTooMany = -1, kBadForm = -2, kNotFinite = -3;
int ReadNumbers(const char* s, const char* e, float* v, int most) {
  int n = 0;
  while (s < e) {
    if (n == most) return kTooMany;
    s = ParseNumber(s, e, v[n]);
    if (!s) return kBadForm;
    if (!std::isfinite(v[n])) return kNotFinite;
    ++n;
    s = SkipBlanks(s, e);
  }
  return n;
}

// The corners of a face, line or point element from s, appended to out;
// *shape says which data they carry (0 v, 1 v/t, 2 v//n, 3 v/t/n), one
// form per element. index(kind, p, e, value) reads the index of a
// position (kind 0), texture coordinate (1) or normal (2) at p and returns
// the end of it, or null. Returns null, or why the element is left to
// assimp.
template <typename Index>
const char* ReadCorners(const char* s, const char* e, int* shape, std::vector<Corner>& out, const Index& index) {
  *shape = -1;
  while (s < e) {
    Corner c;
    s = index(0, s, e, c.v);
    if (!s) return "a face index that is malformed or out of range";
    int thisShape = 0;
    if (s < e && *s == '/') {
      ++s;
      if (s < e && *s != '/') {
        s = index(1, s, e, c.t);
        if (!s) return "a texture index that is malformed or out of range";
        thisShape = 1;
      }
      if (s < e && *s == '/') {
        ++s;
        s = index(2, s, e, c.n);
        if (!s) return "a normal index that is malformed or out of range";
        thisShape |= 2;
      } else if (thisShape == 0) {
        return "a face corner of a form left to assimp";
      }
    }
    if (s < e && !IsBlank(*s)) return "a face corner of a form left to assimp";
    if (*shape >= 0 && *shape != thisShape) return "a face whose corners carry different data";
    *shape = thisShape;
    out.push_back(c);
    s = SkipBlanks(s, e);
  }
  return nullptr;
}

// A later part of a large file, read on another thread while the reader
// goes through the parts before it: the text is most of a large model's
// reading time, and its lines mostly do not depend on what came before.
// The part keeps its own data and, in file order, the steps to replay on
// the reader's state: object, group and material lines, and the runs of
// faces between them. It takes only the common lines; anything else (an
// index counted back from the end, vertex colours, lines and points, a
// library, a form left to assimp) makes it give up, and the reader reads
// the part itself, as it reads a small file.
struct LookAhead {
  const char* begin = nullptr;
  const char* end = nullptr;
  bool ok = false;
  std::size_t lines = 0;
  std::vector<aiVector3D> positions, normals, uvs;
  std::vector<Corner> corners;           // indices into the whole file's lists
  std::vector<std::uint32_t> faceStart;  // into corners
  std::vector<std::uint8_t> faceShape;
  // Per kind (position, texture coordinate, normal): how far any index
  // reaches past what this part had defined when the index was read. The
  // parts before it must define more than that.
  std::int64_t reach[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
  struct Step {
    enum Kind : std::uint8_t { kObject, kGroup, kMaterial, kFaces } kind = kFaces;
    const char* s = nullptr;  // the name
    const char* e = nullptr;
    std::size_t line = 0;                    // in the part, from 1
    std::size_t firstFace = 0, endFace = 0;  // kFaces: into faceShape
    bool anyUV = false, anyNormals = false;
  };
  std::vector<Step> steps;
};

void ReadAhead(LookAhead& part) {
  Prefault(part.begin, part.end);
  const std::size_t guess = static_cast<std::size_t>(part.end - part.begin) / 32;
  part.positions.reserve(guess / 2);
  part.faceStart.reserve(guess / 2);
  part.corners.reserve(guess * 2);
  std::int64_t count[3] = {0, 0, 0};
  auto index = [&](int kind, const char* p, const char* e, std::int32_t& value) -> const char* {
    if (p < e && *p == '-') return nullptr;  // counted back: the reader's to resolve
    p = ParseIndex(p, e, std::int64_t{1} << 31, value);
    if (p) part.reach[kind] = std::max(part.reach[kind], std::int64_t{value} - count[kind]);
    return p;
  };
  std::size_t lineNumber = 0;
  const char* p = part.begin;
  Line line;
  const char* why = nullptr;
  while (p < part.end) {
    ++lineNumber;
    const LineKind kind = SplitLine(p, part.end, line, &why);
    if (kind == LineKind::kEmpty) continue;
    if (kind == LineKind::kLeftToAssimp) return;
    const std::string_view tag = line.tag;
    if (tag == "v" || tag == "vn" || tag == "vt") {
      float v[3] = {0, 0, 0};
      const int n = ReadNumbers(line.s, line.e, v, 3);
      if (n < (tag == "vt" ? 2 : 3)) return;
      auto& into = tag == "v" ? part.positions : tag == "vn" ? part.normals : part.uvs;
      into.emplace_back(v[0], v[1], v[2]);
      count[0] = static_cast<std::int64_t>(part.positions.size());
      count[1] = static_cast<std::int64_t>(part.uvs.size());
      count[2] = static_cast<std::int64_t>(part.normals.size());
    } else if (tag == "f") {
      const std::size_t first = part.corners.size();
      int shape;
      if (ReadCorners(line.s, line.e, &shape, part.corners, index) || part.corners.size() - first < 3) return;
      const std::size_t face = part.faceShape.size();
      if (part.steps.empty() || part.steps.back().kind != LookAhead::Step::kFaces) {
        LookAhead::Step step;
        step.line = lineNumber;
        step.firstFace = face;
        part.steps.push_back(step);
      }
      LookAhead::Step& run = part.steps.back();
      run.endFace = face + 1;
      run.anyUV |= (shape & 1) != 0;
      run.anyNormals |= (shape & 2) != 0;
      part.faceStart.push_back(static_cast<std::uint32_t>(first));
      part.faceShape.push_back(static_cast<std::uint8_t>(shape));
    } else if (tag == "o" || tag == "g" || tag == "usemtl") {
      LookAhead::Step step;
      step.kind = tag == "o"   ? LookAhead::Step::kObject
                  : tag == "g" ? LookAhead::Step::kGroup
                               : LookAhead::Step::kMaterial;
      step.s = line.s;
      step.e = line.e;
      step.line = lineNumber;
      part.steps.push_back(step);
    } else if (tag != "s") {
      return;
    }
  }
  part.lines = lineNumber;
  part.ok = true;
}

// Files below this size are read on one thread: starting threads and
// joining parts would cost more than it saves.
constexpr std::size_t kLookAheadBytes = std::size_t{16} << 20;

// The parts after the first that a text of the given size is cut into at
// line starts: two per core, up to four, for a large file; none for a
// small one. The reader's own part costs more per line than a look-ahead
// (it names objects as it goes, and then adopts the other parts), so with
// one part per core a look-ahead thread finished early and its core sat
// idle; with smaller parts on more threads than cores, the cores stay busy
// until the last part is read.
// parts > 0 asks for that many whatever the size.
std::vector<LookAhead> CutIntoParts(const char* begin, const char* end, int parts) {
  const auto size = static_cast<std::size_t>(end - begin);
  std::size_t n = static_cast<std::size_t>(parts);
  if (parts <= 0)
    n = size < kLookAheadBytes ? 1 : std::clamp<std::size_t>(2 * std::thread::hardware_concurrency(), 1, 4);
  std::vector<LookAhead> out;
  const char* from = begin;
  for (std::size_t i = 1; i < n; ++i) {
    const char* at = std::max(from, begin + size / n * i);
    const char* nl =
        at < end ? static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at))) : nullptr;
    if (!nl || nl + 1 >= end) break;
    from = nl + 1;
    if (!out.empty() && out.back().begin == from) continue;
    out.emplace_back().begin = from;
  }
  for (std::size_t i = 0; i < out.size(); ++i) out[i].end = i + 1 < out.size() ? out[i + 1].begin : end;
  return out;
}

// One of assimp's meshes before it sorts them by primitive type: faces in
// file order, the material named last for it ("" for none: assimp's
// default), whether any element of it carries texture coordinates or
// normals (assimp then gives every vertex of the mesh some).
struct Run {
  std::int64_t object = -1;
  std::string material;
  unsigned materialIndex = 0;
  std::size_t firstFace = 0, endFace = 0;
  bool anyUV = false, anyNormals = false;
  bool linesOrPoints = false;
};

struct Object {
  std::string name;
  std::vector<std::size_t> runs;
};

// The vertex data a joined vertex is compared by; -0 counts as 0, as in
// assimp's comparisons.
struct VertexKey {
  float f[9];
};

inline float Canon(float x) { return x == 0.0f ? 0.0f : x; }

// Nine words multiplied side by side, then mixed once: a chain of nine
// multiply-and-shift rounds is what a corner's lookup would wait on. Only
// exact matches are looked up through it, so the hash never changes which
// vertex a corner joins.
inline std::uint64_t HashKey(const VertexKey& k) {
  std::uint32_t w[9];
  std::memcpy(w, k.f, sizeof w);
  auto pair = [&](int i) { return (std::uint64_t{w[i]} << 32) | w[i + 1]; };
  std::uint64_t h = pair(0) * 0x9e3779b97f4a7c15ull + pair(2) * 0xff51afd7ed558ccdull +
                    pair(4) * 0xc4ceb9fe1a85ec53ull + pair(6) * 0xd6e8feb86659fd93ull +
                    std::uint64_t{w[8]} * 0xa0761d6478bd642full;
  h ^= h >> 32;
  h *= 0xe7037ed1a0b428dbull;
  return h ^ (h >> 29);
}

inline bool SameKey(const VertexKey& a, const VertexKey& b) {
  for (int i = 0; i < 9; ++i)
    if (a.f[i] != b.f[i]) return false;
  return true;
}

// assimp's joining: two values are the same when the square of their
// difference's length, in single precision, is at most (1e-5)^2.
inline bool WithinTolerance(const aiVector3D& a, const aiVector3D& b) {
  static const float kSquareEpsilon = 1e-5f * 1e-5f;
  return !((a - b).SquareLength() > kSquareEpsilon);
}

// The hash assimp's joining keys a vertex by (its position's, combined as
// it combines them) and the number of buckets its map has when reserved
// for the mesh's vertex count: the same standard library makes both.
//
// std::hash<float> as this standard library computes it (the bytes'
// Murmur-style hash with its fixed seed; 0 for either zero), written out
// so that it inlines: it is taken for every distinct vertex of a model.
// Another library, or a 32-bit one, calls its own.
inline std::size_t StdFloatHash(float f) {
#if defined(__GLIBCXX__) && SIZE_MAX == UINT64_MAX
  if (f == 0.0f) return 0;
  unsigned char b[4];
  std::memcpy(b, &f, sizeof b);
  const std::uint64_t data =
      std::uint64_t{b[0]} | std::uint64_t{b[1]} << 8 | std::uint64_t{b[2]} << 16 | std::uint64_t{b[3]} << 24;
  constexpr std::uint64_t mul = (std::uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
  std::uint64_t hash = 0xc70f6907ull ^ (sizeof b * mul);
  hash = (hash ^ data) * mul;
  hash = (hash ^ (hash >> 47)) * mul;
  return static_cast<std::size_t>(hash ^ (hash >> 47));
#else
  return std::hash<float>{}(f);
#endif
}

inline std::size_t AssimpPositionHash(const aiVector3D& p) {
  std::size_t seed = 0;
  for (float c : {p.x, p.y, p.z}) seed ^= StdFloatHash(c) + 0x9e3779b9 + (seed << 6) + (seed >> 2);
  return seed;
}

inline std::size_t AssimpBucketCount(std::size_t vertices) {
  std::unordered_map<std::uint32_t, std::uint32_t> map;
  map.reserve(vertices);
  return map.bucket_count();
}

}  // namespace

class ObjReader {
 public:
  ObjReader(const std::string& path, int parts, bool ownMaterials)
      : path_(path), parts_(parts), ownMaterials_(ownMaterials) {}

  // The text's mapping, the parsed arrays and the object and mesh tables
  // of a large file take a third of a second to give back, on one core:
  // another thread does that while the import walks the scene.
  static void ReleaseLater(DirectScene& scene, std::unique_ptr<ObjReader> reader) {
    try {
      scene.releaser_ = std::jthread([spent = std::move(reader)]() mutable { spent.reset(); });
    } catch (const std::system_error&) {
      // No thread to be had: the lambda, and with it the reader, is freed
      // here as the exception leaves.
    }
  }

  std::unique_ptr<DirectScene> Read(std::string* declined) {
    const MappedFile& file = file_.emplace(path_);
    if (!file.ok()) return Decline(declined, "cannot map the file");
    if (!Parse(file.data(), file.data() + file.size())) return Decline(declined, why_);
    if (!ResolveMaterials()) return Decline(declined, why_);
    auto result = std::make_unique<DirectScene>();
    if (!Build(*result)) return Decline(declined, why_);
    result->lines_ = lineCount_;
    result->points_ = pointCount_;
    return result;
  }

 private:
  std::unique_ptr<DirectScene> Decline(std::string* declined, const std::string& why) {
    if (declined) *declined = why;
    return nullptr;
  }
  bool No(std::string why) {
    if (why_.empty()) why_ = std::move(why);
    return false;
  }

  // ---- Pass 1: the text ------------------------------------------------------
  bool Parse(const char* p, const char* end) {
    // Rough sizes from the file size: an OBJ line is 20 to 40 bytes.
    const std::size_t guess = static_cast<std::size_t>(end - p) / 32;
    positions_.reserve(guess / 2);
    faceStart_.reserve(guess / 2);
    corners_.reserve(guess * 2);
    std::vector<LookAhead> parts = CutIntoParts(p, end, parts_);
    // Each part's thread is joined before its part is looked at; all are
    // joined before the parts go, however this returns.
    std::vector<std::jthread> threads;
    for (LookAhead& part : parts)
      threads.emplace_back([&part] {
        try {
          ReadAhead(part);
        } catch (const std::exception&) {
          part.ok = false;  // out of memory: the reader reads the part itself
        }
      });
    const char* firstEnd = parts.empty() ? end : parts.front().begin;
    Prefault(p, firstEnd);
    bool ok = ReadLines(p, firstEnd);
    // A part is adopted as soon as it is read, while the later ones are
    // still being read: adopting is on this thread alone.
    for (std::size_t i = 0; ok && i < parts.size(); ++i) {
      threads[i].join();
      const Adoption taken = Adopt(parts[i]);
      if (taken == Adoption::kFailed) return false;
      if (taken == Adoption::kReadItself) {
        ok = ReadLines(parts[i].begin, end);
        break;
      }
      parts[i] = LookAhead{};
    }
    if (!ok) return false;
    if (faceShape_.empty()) return No("no faces");
    if (colouredVertices_ != 0 && colouredVertices_ != positions_.size())
      return No("vertex colours on some vertices only");
    faceStart_.push_back(static_cast<std::uint32_t>(corners_.size()));
    return true;
  }

  // The lines from p to end, in order, counted on from the lines before.
  bool ReadLines(const char* p, const char* end) {
    Line line;
    const char* why = nullptr;
    while (p < end) {
      ++lineNumber_;
      const LineKind kind = SplitLine(p, end, line, &why);
      if (kind == LineKind::kEmpty) continue;
      if (kind == LineKind::kLeftToAssimp) return No(why);
      const std::string_view tag = line.tag;
      const char* s = line.s;
      const char* e = line.e;
      bool ok;
      if (tag == "v") {
        ok = Position(s, e);
      } else if (tag == "vn") {
        ok = Vector(s, e, normals_, 3, 3);
      } else if (tag == "vt") {
        ok = Vector(s, e, uvs_, 2, 3);
      } else if (tag == "s") {
        ok = true;  // smoothing groups: the file's normals say it all
      } else if (tag == "mtllib") {
        if (materialsLoaded_) return No("a material library after the first face, object, group or material use");
        libraries_.emplace_back(line.word, static_cast<std::size_t>(e - line.word));
        ok = true;
      } else if (!materialsLoaded_ &&
                 !(tag == "f" || tag == "l" || tag == "p" || tag == "o" || tag == "g" || tag == "usemtl")) {
        return No("\"" + std::string(tag) + "\" lines");
      } else {
        // From here on the material chosen so far matters: the one the
        // libraries leave current.
        if (!materialsLoaded_ && !StartMaterials()) return false;
        if (tag == "f") {
          ok = Face(s, e);
        } else if (tag == "l" || tag == "p") {
          ok = LinesOrPoints(s, e, tag == "l");
        } else if (tag == "o") {
          ok = NewObject(s, e);
        } else if (tag == "g") {
          ok = NewGroup(s, e);
        } else if (tag == "usemtl") {
          ok = UseMaterial(s, e);
        } else {
          return No("\"" + std::string(tag) + "\" lines");
        }
      }
      if (!ok) return LineFailed(lineNumber_);
    }
    return true;
  }

  // Says where the line that failed is.
  bool LineFailed(std::size_t lineNumber) {
    why_ = why_.empty() ? "line " + std::to_string(lineNumber) : why_ + " (line " + std::to_string(lineNumber) + ")";
    return false;
  }

  // A part read ahead, taken into the reader's state as if its lines had
  // been read here: its steps replayed in order, its lists appended.
  // kReadItself when the part gave up or its indices reach past what the
  // file defines before it (the reader then reads it, and says where).
  enum class Adoption { kTaken, kReadItself, kFailed };
  Adoption Adopt(LookAhead& part) {
    if (!part.ok) return Adoption::kReadItself;
    const std::size_t defined[3] = {positions_.size(), uvs_.size(), normals_.size()};
    for (int k = 0; k < 3; ++k)
      if (part.reach[k] >= static_cast<std::int64_t>(defined[k])) return Adoption::kReadItself;
    const std::size_t faceBase = faceShape_.size();
    for (const LookAhead::Step& step : part.steps) {
      if (!materialsLoaded_ && !StartMaterials()) return Adoption::kFailed;
      bool ok = true;
      switch (step.kind) {
        case LookAhead::Step::kObject: ok = NewObject(step.s, step.e); break;
        case LookAhead::Step::kGroup: ok = NewGroup(step.s, step.e); break;
        case LookAhead::Step::kMaterial: ok = UseMaterial(step.s, step.e); break;
        case LookAhead::Step::kFaces: {
          Run& run = CurrentRun();
          if (run.firstFace == run.endFace) run.firstFace = faceBase + step.firstFace;
          else if (run.endFace != faceBase + step.firstFace) ok = No("faces of one mesh apart");
          run.endFace = faceBase + step.endFace;
          run.anyUV |= step.anyUV;
          run.anyNormals |= step.anyNormals;
          break;
        }
      }
      if (!ok) {
        LineFailed(lineNumber_ + step.line);
        return Adoption::kFailed;
      }
    }
    lineNumber_ += part.lines;
    // The lists are appended side by side: hundreds of megabytes at 10M
    // triangles, mostly new pages.
    const std::size_t cornerBase = corners_.size();
    std::exception_ptr failure[3];
    base::ParallelFor(3, [&](std::size_t list) {
      try {
        if (list == 0) {
          positions_.insert(positions_.end(), part.positions.begin(), part.positions.end());
          normals_.insert(normals_.end(), part.normals.begin(), part.normals.end());
          uvs_.insert(uvs_.end(), part.uvs.begin(), part.uvs.end());
        } else if (list == 1) {
          corners_.insert(corners_.end(), part.corners.begin(), part.corners.end());
        } else {
          faceStart_.reserve(faceStart_.size() + part.faceStart.size());
          for (std::uint32_t first : part.faceStart)
            faceStart_.push_back(static_cast<std::uint32_t>(cornerBase + first));
          faceShape_.insert(faceShape_.end(), part.faceShape.begin(), part.faceShape.end());
        }
      } catch (...) {
        failure[list] = std::current_exception();
      }
    });
    for (const std::exception_ptr& e : failure)
      if (e) std::rethrow_exception(e);
    return Adoption::kTaken;
  }

  // A position, with a colour when the line holds six numbers. The host
  // keeps no colours, and assimp's import joins vertices apart only by
  // colour, so colours are read past; all positions or none must carry
  // one, as assimp numbers colours apart.
  bool Position(const char* s, const char* e) {
    float v[6] = {0, 0, 0, 0, 0, 0};
    const int n = ReadNumbers(s, e, v, 6);
    if (n == kTooMany) return No("a vertex with more numbers than expected");
    if (n == kBadForm) return No("a number in a form left to assimp");
    if (n == kNotFinite) return No("a number that is not finite");
    if (n != 3 && n != 6) return No("a vertex of " + std::to_string(n) + " numbers");
    positions_.emplace_back(v[0], v[1], v[2]);
    if (n == 6 && ++colouredVertices_ != positions_.size()) return No("vertex colours on some vertices only");
    return true;
  }

  bool Vector(const char* s, const char* e, std::vector<aiVector3D>& into, int least, int most) {
    float v[3] = {0, 0, 0};
    const int n = ReadNumbers(s, e, v, most);
    if (n == kTooMany) return No("a vector with more numbers than expected");
    if (n == kBadForm) return No("a number in a form left to assimp");
    if (n == kNotFinite) return No("a number that is not finite");
    if (n < least) return No("a vector with fewer numbers than expected");
    into.emplace_back(v[0], v[1], v[2]);
    return true;
  }

  // The corners of a face, line or point element from s, their indices
  // resolved against what the file has defined so far.
  bool Corners(const char* s, const char* e, int* shape) {
    const std::int64_t count[3] = {static_cast<std::int64_t>(positions_.size()), static_cast<std::int64_t>(uvs_.size()),
                                   static_cast<std::int64_t>(normals_.size())};
    auto index = [&](int kind, const char* p, const char* end, std::int32_t& value) {
      return ParseIndex(p, end, count[kind], value);
    };
    if (const char* why = ReadCorners(s, e, shape, corners_, index)) return No(why);
    return true;
  }

  // Faces go to the mesh made last, as in assimp; before any object or
  // group, to its "defaultobject".
  Run& CurrentRun() {
    if (current_ < 0) NewObjectNamed("defaultobject");
    return runs_.back();
  }

  bool Face(const char* s, const char* e) {
    const std::size_t first = corners_.size();
    int shape;
    if (!Corners(s, e, &shape)) return false;
    // assimp's import fails on a face of fewer than three corners.
    if (corners_.size() - first < 3) return No("a face of fewer than three corners");
    Run& run = CurrentRun();
    const std::size_t face = faceShape_.size();
    if (run.firstFace == run.endFace) run.firstFace = face;
    else if (run.endFace != face) return No("faces of one mesh apart");  // cannot happen: meshes are made in order
    run.endFace = face + 1;
    run.anyUV |= (shape & 1) != 0;
    run.anyNormals |= (shape & 2) != 0;
    faceStart_.push_back(static_cast<std::uint32_t>(first));
    faceShape_.push_back(static_cast<std::uint8_t>(shape));
    return true;
  }

  // Lines and points: the host leaves them out, so only their count (for
  // the warning) and what they tell assimp about their mesh's data matter.
  bool LinesOrPoints(const char* s, const char* e, bool lines) {
    const std::size_t first = corners_.size();
    int shape;
    if (!Corners(s, e, &shape)) return false;
    const std::size_t n = corners_.size() - first;
    if (n == 0 || (lines && n < 2)) return No("a line or point element without enough corners");
    if (!lines && shape != 0) return No("a point element with texture or normal indices");
    if (lines) {
      // A segment whose ends lie at one place is removed by assimp.
      for (std::size_t i = first; i + 1 < corners_.size(); ++i)
        if (positions_[static_cast<std::size_t>(corners_[i].v)] ==
            positions_[static_cast<std::size_t>(corners_[i + 1].v)])
          return No("a line segment of no length");
      lineCount_ += n - 1;
    } else {
      pointCount_ += n;
    }
    corners_.resize(first);
    Run& run = CurrentRun();
    run.anyUV |= (shape & 1) != 0;
    run.anyNormals |= (shape & 2) != 0;
    run.linesOrPoints = true;
    return true;
  }

  // An object: assimp names it by its first word. Naming an existing one
  // again makes assimp continue that object with the mesh made last; that
  // is left to it.
  bool NewObject(const char* s, const char* e) {
    const char* name = s;
    while (s < e && !IsBlank(*s)) ++s;
    if (s != e || name == e) return No("an object name that is empty or has blanks");
    const std::string_view text(name, static_cast<std::size_t>(e - name));
    if (objectNames_.count(text)) return No("an object name used twice");
    NewObjectNamed(text);
    return true;
  }

  // A group: assimp takes all its words for the name and makes a new
  // object whenever the name differs from the group named last, even when
  // an earlier group had the same name.
  bool NewGroup(const char* s, const char* e) {
    if (s == e) return No("a group without name");
    const std::string_view text(s, static_cast<std::size_t>(e - s));
    if (text == activeGroup_) return true;
    activeGroup_ = text;
    NewObjectNamed(text);
    return true;
  }

  // A new object with its first mesh, in the material current now.
  void NewObjectNamed(std::string_view name) {
    objectNames_.insert(name);
    objects_.push_back(Object{std::string(name), {}});
    current_ = static_cast<std::int64_t>(objects_.size()) - 1;
    NewRun(current_);
    runs_.back().material = material_;
  }

  void NewRun(std::int64_t object) {
    if (object >= 0) objects_[static_cast<std::size_t>(object)].runs.push_back(runs_.size());
    runs_.push_back(Run{});
    runs_.back().object = object;
  }

  // A material use, as assimp treats it: the material named current
  // already changes nothing; else the mesh made last takes it, or a new
  // mesh does when the last one has faces in another material (a mesh
  // without material takes the new one, its faces with it). A name no
  // library defines becomes a material of its own.
  bool UseMaterial(const char* s, const char* e) {
    if (s == e) return No("an empty material name");
    std::string text(s, static_cast<std::size_t>(e - s));
    if (text == material_) return true;
    material_ = text;
    if (!libraryNames_.count(text) &&
        std::find(unknownNames_.begin(), unknownNames_.end(), text) == unknownNames_.end())
      unknownNames_.push_back(text);
    // Before any object the new mesh belongs to none: assimp makes one
    // for the first face, with its own mesh.
    if (runs_.empty()) NewRun(current_);
    Run* run = &runs_.back();
    if (!run->material.empty() && run->material != text && run->endFace > run->firstFace) {
      NewRun(current_);
      run = &runs_.back();
    }
    run->material = std::move(text);
    return true;
  }

  // ---- Materials, read by assimp -------------------------------------------------
  // The libraries' materials, and the one they leave current (what faces
  // before any material use are made of), from a stand-in of the file
  // with the libraries and one face.
  bool StartMaterials() {
    materialsLoaded_ = true;
    if (!LoadMaterials()) return false;
    const aiScene& materials = *materials_.scene;
    for (unsigned i = 0; i < materials.mNumMaterials; ++i) libraryNames_.insert(MaterialName(i));
    const unsigned current = materials_.current;
    if (current >= materials.mNumMaterials) return No("assimp gives a face a material it does not have");
    // Index 0 is assimp's default material: no library material is current.
    if (current > 0) material_ = MaterialName(current);
    else if (materials.mNumMaterials > 1 && !libraries_.empty())
      return No("a library that ends on the default material");
    return true;
  }

  std::string MaterialName(unsigned i) const {
    aiString name;
    if (materials_.scene->mMaterials[i]->Get(AI_MATKEY_NAME, name) != AI_SUCCESS) return "\001unnamed";
    return name.C_Str();
  }

  // The libraries' materials and every material name that no library
  // defines, in the order the file first uses them (obj_materials.h).
  bool LoadMaterials() {
    materials_ = ObjMaterials{};
    const std::string why = ownMaterials_ ? ReadMaterialLibraries(path_, libraries_, unknownNames_, &materials_)
                                          : ReadObjMaterials(path_, libraries_, unknownNames_, &materials_);
    if (!why.empty()) return No(why);
    if (!materials_.scene || materials_.scene->mNumMaterials == 0) return No("assimp gives no materials");
    return true;
  }

  bool ResolveMaterials() {
    if (!unknownNames_.empty() && !LoadMaterials()) return false;
    std::vector<std::string> names;
    for (unsigned i = 0; i < materials_.scene->mNumMaterials; ++i) {
      aiString name;
      if (materials_.scene->mMaterials[i]->Get(AI_MATKEY_NAME, name) != AI_SUCCESS)
        return No("a material without name");
      names.emplace_back(name.C_Str());
    }
    for (Run& run : runs_) {
      if (run.firstFace == run.endFace) continue;
      long found = -1;
      if (run.material.empty()) {
        found = 0;  // assimp's default material
      } else {
        for (std::size_t i = 0; i < names.size(); ++i) {
          if (names[i] != run.material) continue;
          if (found >= 0) return No("two materials of one name");
          found = static_cast<long>(i);
        }
      }
      if (found < 0) return No("a material assimp does not make");
      run.materialIndex = static_cast<unsigned>(found);
    }
    return true;
  }

  // ---- Pass 2: meshes --------------------------------------------------------
  struct MeshJob {
    const Run* run = nullptr;
    aiMesh* mesh[2] = {nullptr, nullptr};  // its triangles, its larger polygons
    std::unique_ptr<unsigned[]> pool[2];
  };

  bool Build(DirectScene& out) {
    std::vector<MeshJob> jobs;
    for (const Object& object : objects_)
      for (std::size_t r : object.runs) {
        MeshJob job;
        job.run = &runs_[r];
        jobs.push_back(std::move(job));
      }
    std::atomic<bool> failed{false};
    std::mutex whyLock;
    std::string why;
    // A run is joined in time with its corners; the large ones go first.
    const auto corners = [&](std::size_t i) {
      return std::uint64_t{faceStart_[jobs[i].run->endFace] - faceStart_[jobs[i].run->firstFace]};
    };
    base::ParallelForLargestFirst(jobs.size(), corners, [&](std::size_t i) {
      if (failed.load(std::memory_order_relaxed)) return;
      std::string problem;
      try {
        problem = MakeMesh(jobs[i]);
      } catch (const std::exception& e) {
        problem = std::string("out of memory (") + e.what() + ")";
      }
      if (!problem.empty()) {
        std::lock_guard<std::mutex> lock(whyLock);
        if (why.empty()) why = problem;
        failed = true;
      }
    });
    if (failed) {
      for (MeshJob& job : jobs)
        for (aiMesh* mesh : job.mesh) {
          if (!mesh) continue;
          for (unsigned f = 0; f < mesh->mNumFaces; ++f) mesh->mFaces[f].mIndices = nullptr;
          delete mesh;
        }
      return No(why);
    }

    // The scene as assimp lays out an OBJ file: a root named after the file
    // with one child per object, in file order, each with its meshes.
    auto* scene = new aiScene();
    out.scene_ = scene;
    scene->mMaterials = materials_.scene->mMaterials;
    scene->mNumMaterials = materials_.scene->mNumMaterials;
    materials_.scene->mMaterials = nullptr;
    materials_.scene->mNumMaterials = 0;
    std::size_t meshCount = 0;
    for (const MeshJob& job : jobs)
      for (const aiMesh* mesh : job.mesh)
        if (mesh) ++meshCount;
    scene->mMeshes = new aiMesh*[meshCount ? meshCount : 1];
    scene->mRootNode = new aiNode(std::filesystem::path(path_).filename().string());
    aiNode* root = scene->mRootNode;
    // Null slots until each node is made: a scene given up half made is
    // still deleted safely.
    root->mChildren = new aiNode*[objects_.empty() ? 1 : objects_.size()]();
    root->mNumChildren = static_cast<unsigned>(objects_.size());
    // An object's meshes are consecutive in the scene, in file order.
    std::vector<unsigned> firstMesh(objects_.size() + 1, 0);
    std::size_t jobIndex = 0;
    for (std::size_t o = 0; o < objects_.size(); ++o) {
      for (std::size_t r = 0; r < objects_[o].runs.size(); ++r) {
        MeshJob& job = jobs[jobIndex++];
        for (int part = 0; part < 2; ++part) {
          if (!job.mesh[part]) continue;
          scene->mMeshes[scene->mNumMeshes++] = job.mesh[part];
          out.pools_.push_back(std::move(job.pool[part]));
        }
      }
      firstMesh[o + 1] = scene->mNumMeshes;
    }
    // The nodes are made side by side: each holds assimp's name buffer of
    // over a kilobyte, and for a model of many objects this step is mostly
    // the faulting-in of fresh memory.
    std::atomic<bool> exhausted{false};
    base::ParallelFor(objects_.size(), [&](std::size_t o) {
      try {
        auto node = std::make_unique<aiNode>(objects_[o].name);
        node->mParent = root;
        const unsigned count = firstMesh[o + 1] - firstMesh[o];
        if (count != 0) {
          node->mMeshes = new unsigned[count];
          node->mNumMeshes = count;
          for (unsigned k = 0; k < count; ++k) node->mMeshes[k] = firstMesh[o] + k;
        }
        root->mChildren[o] = node.release();
      } catch (const std::bad_alloc&) {
        exhausted = true;
      }
    });
    if (exhausted) throw std::bad_alloc();
    return true;
  }

  // One run of faces as assimp's meshes: degenerate faces removed as
  // assimp removes them, the rest sorted by primitive type and joined.
  // Runs on parallel threads; reads the parse only.
  std::string MakeMesh(MeshJob& job) {
    const Run& run = *job.run;
    std::vector<std::uint32_t> triangles, polygons;
    std::size_t allCorners = 0;
    for (std::size_t f = run.firstFace; f < run.endFace; ++f) {
      allCorners += faceStart_[f + 1] - faceStart_[f];
      bool removed = false;
      if (!Degenerate(f, &removed)) return "a triangle whose area is too close to the least assimp keeps";
      if (!removed)
        (faceStart_[f + 1] - faceStart_[f] == 3 ? triangles : polygons).push_back(static_cast<std::uint32_t>(f));
    }
    // A mesh of one primitive type stays as it is, with the vertices of
    // the faces removed from it; else each type's mesh has its own.
    const bool oneType = !run.linesOrPoints && (triangles.empty() || polygons.empty());
    // assimp sorts a mesh by primitive type: its triangles form one mesh,
    // its larger polygons the next, each checked and joined on its own.
    int part = 0;
    for (const std::vector<std::uint32_t>* list : {&triangles, &polygons}) {
      if (list->empty()) continue;
      // A mesh with normals gives the corners of faces without them a zero
      // normal, and a zero normal makes assimp drop all of the mesh's.
      bool hasNormals = run.anyNormals;
      for (std::size_t k = 0; k < list->size() && hasNormals; ++k) {
        const std::uint32_t f = (*list)[k];
        if (!(faceShape_[f] & 2)) {
          hasNormals = false;
          break;
        }
        for (std::size_t ci = faceStart_[f]; ci < faceStart_[f + 1]; ++ci) {
          const aiVector3D& n = normals_[static_cast<std::size_t>(corners_[ci].n)];
          if (n.x == 0 && n.y == 0 && n.z == 0) {
            hasNormals = false;
            break;
          }
        }
      }
      std::size_t vertices = 0;
      if (oneType) {
        vertices = allCorners;
      } else {
        for (std::uint32_t f : *list) vertices += faceStart_[f + 1] - faceStart_[f];
      }
      std::string problem =
          JoinPart(*list, vertices, hasNormals, run.anyUV, run.materialIndex, job.mesh[part], job.pool[part]);
      if (!problem.empty()) return problem;
      ++part;
    }
    return {};
  }

  // Whether assimp removes face f as degenerate: a face of up to four
  // corners with two at one place, a larger one with two neighbours at one
  // place, a triangle of area under 1e-6 by Heron's formula in single
  // precision. False when that area lies so close to the limit that how
  // the square roots round decides.
  bool Degenerate(std::size_t f, bool* removed) const {
    const std::size_t b = faceStart_[f], n = faceStart_[f + 1] - b;
    auto at = [&](std::size_t i) -> const aiVector3D& {
      return positions_[static_cast<std::size_t>(corners_[b + i].v)];
    };
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < (n > 4 ? std::min(n, i + 2) : n); ++j)
        if (at(i) == at(j)) {
          *removed = true;
          return true;
        }
    *removed = false;
    if (n != 3) return true;
    float side[3];
    for (int k = 0; k < 3; ++k) {
      const aiVector3D& p = at(static_cast<std::size_t>(k));
      const aiVector3D& q = at(static_cast<std::size_t>((k + 1) % 3));
      const float lx = q.x - p.x, ly = q.y - p.y, lz = q.z - p.z;
      const float square = lx * lx + ly * ly + lz * lz;
      side[k] = static_cast<float>(std::pow(static_cast<double>(square), 0.5));
      if (side[k] != std::sqrt(square)) return false;
    }
    const float s = (side[0] + side[1] + side[2]) / 2;
    const float product = s * (s - side[0]) * (s - side[1]) * (s - side[2]);
    const float area = static_cast<float>(std::pow(static_cast<double>(product), 0.5));
    const bool small = area < 1e-6f;  // a negative product gives NaN: kept
    if (small != (std::sqrt(product) < 1e-6f)) return false;
    *removed = small;
    return true;
  }

  // A corner's texture coordinate in a mesh that has them: zero for a face
  // that names none, as assimp leaves it.
  aiVector3D UV(std::uint32_t face, std::size_t corner) const {
    return faceShape_[face] & 1 ? uvs_[static_cast<std::size_t>(corners_[corner].t)] : aiVector3D();
  }

  // One mesh of the given faces, its corners joined as assimp joins them.
  // assimp keeps a vertex in a hash map keyed by its position's hash (a
  // bucket per vertex of the mesh) and takes a later one for it when their
  // position, normal and coordinates are each within 1e-5, but compares
  // only within a bucket: vertices a little apart are joined when they
  // happen to share a bucket. The same buckets are worked out here, the
  // same comparison made in the same order.
  std::string JoinPart(const std::vector<std::uint32_t>& faceList, std::size_t meshVertices, bool hasNormals,
                       bool hasUV, unsigned material, aiMesh*& meshOut, std::unique_ptr<unsigned[]>& pool) {
    std::size_t corners = 0;
    for (std::uint32_t f : faceList) corners += faceStart_[f + 1] - faceStart_[f];
    if (hasUV) {
      // assimp drops coordinates that are all the same.
      const aiVector3D first = UV(faceList[0], faceStart_[faceList[0]]);
      bool allSame = true;
      for (std::size_t f = 0; f < faceList.size() && allSame; ++f)
        for (std::size_t ci = faceStart_[faceList[f]]; ci < faceStart_[faceList[f] + 1] && allSame; ++ci)
          allSame = UV(faceList[f], ci) == first;
      if (allSame) hasUV = false;
    }
    // Exact keys first, through an open-addressing table of key numbers:
    // equal data is always the same vertex.
    std::size_t tableSize = 16;
    while (tableSize < 2 * corners) tableSize <<= 1;
    std::vector<std::uint32_t> table(tableSize, 0xffffffffu);
    std::vector<VertexKey> keys;
    std::vector<std::uint32_t> keyVertex;
    keys.reserve(corners);
    keyVertex.reserve(corners);
    std::vector<std::uint32_t> cornerVertex(corners);
    std::vector<std::uint32_t> firstCorner, firstFace;
    firstCorner.reserve(corners);
    firstFace.reserve(corners);
    // assimp's buckets and the vertices in each.
    const std::size_t buckets = AssimpBucketCount(meshVertices);
    std::vector<std::uint32_t> bucketHead(buckets, 0xffffffffu), bucketNext;
    bucketNext.reserve(corners);
    const aiVector3D zero;
    std::size_t i = 0;
    for (std::uint32_t f : faceList)
      for (std::size_t ci = faceStart_[f]; ci < faceStart_[f + 1]; ++ci, ++i) {
        const Corner& c = corners_[ci];
        const aiVector3D& p = positions_[static_cast<std::size_t>(c.v)];
        const aiVector3D& n = hasNormals ? normals_[static_cast<std::size_t>(c.n)] : zero;
        const aiVector3D t = hasUV ? UV(f, ci) : zero;
        VertexKey k{{Canon(p.x), Canon(p.y), Canon(p.z), Canon(n.x), Canon(n.y), Canon(n.z), Canon(t.x), Canon(t.y),
                     Canon(t.z)}};
        std::size_t slot = HashKey(k) & (tableSize - 1);
        std::uint32_t found = 0xffffffffu;
        while (table[slot] != 0xffffffffu) {
          if (SameKey(keys[table[slot]], k)) {
            found = keyVertex[table[slot]];
            break;
          }
          slot = (slot + 1) & (tableSize - 1);
        }
        if (found == 0xffffffffu) {
          table[slot] = static_cast<std::uint32_t>(keys.size());
          keys.push_back(k);
          // New data: a vertex of its bucket within assimp's tolerance
          // takes it, else it is a vertex of its own.
          const std::size_t bucket = AssimpPositionHash(p) % buckets;
          // Its map finds the first match in the bucket, which holds the
          // vertex put in last first: so do the chains here.
          bool matched = false;
          for (std::uint32_t o = bucketHead[bucket]; o != 0xffffffffu && !matched; o = bucketNext[o]) {
            const Corner& oc = corners_[firstCorner[o]];
            if (WithinTolerance(positions_[static_cast<std::size_t>(oc.v)], p) &&
                WithinTolerance(hasNormals ? normals_[static_cast<std::size_t>(oc.n)] : zero, n) &&
                WithinTolerance(hasUV ? UV(firstFace[o], firstCorner[o]) : zero, t)) {
              found = o;
              matched = true;
            }
          }
          if (!matched) {
            found = static_cast<std::uint32_t>(firstCorner.size());
            firstCorner.push_back(static_cast<std::uint32_t>(ci));
            firstFace.push_back(f);
            bucketNext.push_back(bucketHead[bucket]);
            bucketHead[bucket] = found;
          }
          keyVertex.push_back(found);
        }
        cornerVertex[i] = found;
      }

    auto* mesh = new aiMesh();
    meshOut = mesh;
    const std::size_t nv = firstCorner.size();
    mesh->mMaterialIndex = material;
    mesh->mNumVertices = static_cast<unsigned>(nv);
    mesh->mVertices = new aiVector3D[nv];
    if (hasNormals) mesh->mNormals = new aiVector3D[nv];
    if (hasUV) {
      mesh->mTextureCoords[0] = new aiVector3D[nv];
      mesh->mNumUVComponents[0] = 2;
    }
    // The values of each vertex's first corner (equal to the others'
    // except for the sign of a zero).
    for (std::size_t v = 0; v < nv; ++v) {
      const Corner& c = corners_[firstCorner[v]];
      mesh->mVertices[v] = positions_[static_cast<std::size_t>(c.v)];
      if (hasNormals) mesh->mNormals[v] = normals_[static_cast<std::size_t>(c.n)];
      if (hasUV) mesh->mTextureCoords[0][v] = UV(firstFace[v], firstCorner[v]);
    }
    pool.reset(new unsigned[corners]);
    std::memcpy(pool.get(), cornerVertex.data(), corners * sizeof(unsigned));
    mesh->mNumFaces = static_cast<unsigned>(faceList.size());
    mesh->mFaces = new aiFace[faceList.size()];
    std::size_t at = 0;
    for (std::size_t f = 0; f < faceList.size(); ++f) {
      aiFace& face = mesh->mFaces[f];
      face.mNumIndices = faceStart_[faceList[f] + 1] - faceStart_[faceList[f]];
      face.mIndices = pool.get() + at;
      at += face.mNumIndices;
    }
    mesh->mPrimitiveTypes =
        faceList.size() && mesh->mFaces[0].mNumIndices == 3 ? aiPrimitiveType_TRIANGLE : aiPrimitiveType_POLYGON;
    return {};
  }

  std::string path_;
  std::optional<MappedFile> file_;
  int parts_ = 0;
  bool ownMaterials_ = false;
  std::size_t lineNumber_ = 0;
  std::string why_;
  std::vector<aiVector3D> positions_, normals_, uvs_;
  std::size_t colouredVertices_ = 0;
  std::vector<Corner> corners_;
  std::vector<std::uint32_t> faceStart_;
  std::vector<std::uint8_t> faceShape_;
  std::vector<Object> objects_;
  // Of objects and groups alike: views of the mapped text, which the
  // reader keeps until it goes.
  std::unordered_set<std::string_view> objectNames_;
  std::vector<Run> runs_;  // assimp's meshes in the order it makes them
  std::vector<std::string> libraries_;
  std::set<std::string> libraryNames_;
  std::vector<std::string> unknownNames_;  // used, defined by no library: in order of first use
  std::int64_t current_ = -1;              // the object made last
  std::string material_;                   // the material current ("" none)
  std::string_view activeGroup_;           // into the text as well
  bool materialsLoaded_ = false;
  std::uint64_t lineCount_ = 0, pointCount_ = 0;
  ObjMaterials materials_;
};

std::unique_ptr<DirectScene> ReadObj(const std::string& path, std::string* declined, int parts, bool ownMaterials) {
  auto reader = std::make_unique<ObjReader>(path, parts, ownMaterials);
  std::unique_ptr<DirectScene> scene = reader->Read(declined);
  if (scene) ObjReader::ReleaseLater(*scene, std::move(reader));
  return scene;
}

}  // namespace hostmodel::detail
