#include "obj_reader.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/Importer.hpp>
#include <assimp/scene.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "base/parallel_for.h"

namespace hostmodel::detail {

DirectScene::DirectScene() = default;

DirectScene::~DirectScene() {
  if (!scene_) return;
  // The faces point into pools_; aiFace's destructor would free them.
  for (unsigned m = 0; m < scene_->mNumMeshes; ++m) {
    aiMesh* mesh = scene_->mMeshes[m];
    if (!mesh || !mesh->mFaces) continue;
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) mesh->mFaces[f].mIndices = nullptr;
  }
  delete scene_;
}

namespace {

// ---- Numbers, as assimp reads them ------------------------------------------
// assimp parses OBJ numbers with its own routine, not a correctly rounded
// one: the integer part and the fraction (at most 15 digits) are converted
// separately and added in single precision; an exponent multiplies by a
// single-precision power of ten. The host model must hold the very floats
// that assimp's import holds, so the same arithmetic is used here.
constexpr double kFractionScale[16] = {0.0,    1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                       1e-8,   1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Decimal digits from p; at most maxDigits are taken (the rest skipped),
// *taken says how many. Null on more than 19 significant integer digits.
const char* Digits(const char* p, const char* end, unsigned maxDigits, std::uint64_t& value, unsigned& taken) {
  value = 0;
  taken = 0;
  while (p < end && IsDigit(*p)) {
    if (taken == maxDigits) {
      while (p < end && IsDigit(*p)) ++p;
      break;
    }
    value = value * 10 + static_cast<unsigned>(*p - '0');
    ++taken;
    ++p;
  }
  return p;
}

// One number ending at a blank or the line's end. Null for anything but
// [+-]digits[.digits][(e|E)[+-]digits] (names such as "nan", decimal
// commas, a leading dot, trailing letters): such files go to assimp.
const char* ParseNumber(const char* p, const char* end, float& out) {
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  // assimp's OBJ parser does not take ".5" for a number.
  if (p == end || !IsDigit(*p)) return nullptr;
  float f = 0;
  bool any = false;
  if (p < end && IsDigit(*p)) {
    std::uint64_t whole;
    unsigned taken;
    p = Digits(p, end, 20, whole, taken);
    if (taken > 19) return nullptr;  // would overflow assimp's integer
    f = static_cast<float>(whole);
    any = true;
  }
  if (p < end && *p == '.') {
    ++p;
    if (p < end && IsDigit(*p)) {
      std::uint64_t fraction;
      unsigned taken;
      p = Digits(p, end, 15, fraction, taken);
      double pl = static_cast<double>(fraction) * kFractionScale[taken];
      f += static_cast<float>(pl);
      any = true;
    }
  }
  if (!any) return nullptr;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negativeExponent = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    if (p == end || !IsDigit(*p)) return nullptr;
    std::uint64_t e;
    unsigned taken;
    p = Digits(p, end, 20, e, taken);
    if (taken > 19) return nullptr;
    float exponent = static_cast<float>(e);
    if (negativeExponent) exponent = -exponent;
    f *= std::pow(10.0f, exponent);
  }
  if (p < end && !IsBlank(*p)) return nullptr;
  out = negative ? -f : f;
  return p;
}

const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

// A face corner's index (1-based, or negative counting back from the
// current end); -2 for a malformed one.
const char* ParseIndex(const char* p, const char* end, std::int64_t count, std::int32_t& out) {
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  if (p == end || !IsDigit(*p)) return nullptr;
  std::int64_t v = 0;
  while (p < end && IsDigit(*p)) {
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

struct Run {
  unsigned material = 0;
  std::size_t firstFace = 0, endFace = 0;
};

struct Object {
  std::string name;
  std::vector<Run> runs;
};

// The vertex data a joined vertex is compared by; -0 counts as 0, as in
// assimp's comparisons.
struct VertexKey {
  float f[9];
};

inline float Canon(float x) { return x == 0.0f ? 0.0f : x; }

inline std::uint64_t HashKey(const VertexKey& k) {
  std::uint64_t h = 0x9e3779b97f4a7c15ull;
  for (float x : k.f) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, 4);
    h = (h ^ bits) * 0xff51afd7ed558ccdull;
    h ^= h >> 29;
  }
  return h;
}

inline bool SameKey(const VertexKey& a, const VertexKey& b) {
  for (int i = 0; i < 9; ++i)
    if (a.f[i] != b.f[i]) return false;
  return true;
}

inline bool Near(const aiVector3D& a, const aiVector3D& b) {
  const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz < 1e-6f;
}

// A file that holds only the MTL libraries of the real one, so that assimp
// reads the materials exactly as its own import would; every other file
// (the libraries themselves) comes from the disk.
class StandInIO : public Assimp::DefaultIOSystem {
 public:
  StandInIO(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}
  bool Exists(const char* file) const override {
    return path_ == file || Assimp::DefaultIOSystem::Exists(file);
  }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    if (path_ == file)
      return new Assimp::MemoryIOStream(reinterpret_cast<const std::uint8_t*>(text_.data()), text_.size(), false);
    return Assimp::DefaultIOSystem::Open(file, mode);
  }

 private:
  std::string path_, text_;
};

class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ == 0) {
      ok_ = true;
      return;
    }
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_, 0);
    if (p == MAP_FAILED) return;
    ::madvise(p, size_, MADV_SEQUENTIAL);
    data_ = static_cast<const char*>(p);
    ok_ = true;
  }
  ~MappedFile() {
    if (data_) ::munmap(const_cast<char*>(data_), size_);
    if (fd_ >= 0) ::close(fd_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool ok() const { return ok_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  int fd_ = -1;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  bool ok_ = false;
};

}  // namespace

class ObjReader {
 public:
  explicit ObjReader(const std::string& path) : path_(path) {}

  std::unique_ptr<DirectScene> Read(std::string* declined) {
    MappedFile file(path_);
    if (!file.ok()) return Decline(declined, "cannot map the file");
    if (!Parse(file.data(), file.data() + file.size())) return Decline(declined, why_);
    if (!LoadMaterials()) return Decline(declined, why_);
    if (!ResolveMaterials()) return Decline(declined, why_);
    auto result = std::make_unique<DirectScene>();
    if (!Build(*result)) return Decline(declined, why_);
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
    std::size_t lineNumber = 0;
    // Rough sizes from the file size: an OBJ line is 20 to 40 bytes.
    const std::size_t guess = static_cast<std::size_t>(end - p) / 32;
    positions_.reserve(guess / 2);
    faceStart_.reserve(guess / 2);
    corners_.reserve(guess * 2);
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* lineEnd = nl ? nl : end;
      const char* next = nl ? nl + 1 : end;
      ++lineNumber;
      const char* e = lineEnd;
      if (e > p && e[-1] == '\r') --e;
      const char* unTrimmed = e;
      while (e > p && IsBlank(e[-1])) --e;
      const char* lineStart = p;
      const char* s = SkipBlanks(p, e);
      p = next;
      if (s == e || *s == '#') continue;
      // assimp does not take every blank for a separator.
      if (s != lineStart || std::memchr(s, '\t', static_cast<std::size_t>(e - s))) return No("tabs or indented lines");
      if (e[-1] == '\\') return No("continued lines");
      const char* word = s;
      while (s < e && !IsBlank(*s)) ++s;
      const std::string_view tag(word, static_cast<std::size_t>(s - word));
      // Names are taken whole, blanks between words included; whether
      // assimp keeps blanks around them is left to it.
      const bool nameLine = tag == "o" || tag == "g" || tag == "usemtl";
      if (nameLine && (e != unTrimmed || s == e || s + 1 == e || s[1] == ' ' ||
                       std::string_view(s, static_cast<std::size_t>(e - s)).find("  ") != std::string_view::npos))
        return No("a name with surrounding or repeated blanks");
      s = SkipBlanks(s, e);
      bool ok;
      if (tag == "v") {
        ok = Vector(s, e, positions_, 3, 3);
      } else if (tag == "vn") {
        ok = Vector(s, e, normals_, 3, 3);
      } else if (tag == "vt") {
        ok = Vector(s, e, uvs_, 2, 3);
      } else if (tag == "f") {
        ok = Face(s, e);
      } else if (tag == "o") {
        if (sawGroup_) return No("both objects and groups");
        sawObject_ = true;
        ok = NewObject(s, e, false);
      } else if (tag == "g") {
        // A group is an object of its own, and naming the current group
        // again changes nothing, as in assimp.
        if (sawObject_) return No("both objects and groups");
        sawGroup_ = true;
        if (current_ >= 0 && std::string_view(s, static_cast<std::size_t>(e - s)) == objects_[static_cast<std::size_t>(current_)].name) {
          ok = true;
        } else if (current_ >= 0 && objects_[static_cast<std::size_t>(current_)].runs.empty()) {
          return No("a group inside an object or group without faces");
        } else {
          ok = NewObject(s, e, true);
        }
      } else if (tag == "usemtl") {
        ok = UseMaterial(s, e);
      } else if (tag == "mtllib") {
        if (sawGeometryUse_) return No("a material library after the first face or material use");
        libraries_.emplace_back(word, static_cast<std::size_t>(e - word));
        ok = true;
      } else if (tag == "s") {
        ok = true;  // smoothing groups: the file's normals say it all
      } else {
        return No("\"" + std::string(tag) + "\" lines");
      }
      if (!ok) return No(why_.empty() ? "line " + std::to_string(lineNumber) : why_ + " (line " + std::to_string(lineNumber) + ")");
    }
    if (faceShape_.empty()) return No("no faces");
    faceStart_.push_back(static_cast<std::uint32_t>(corners_.size()));
    return true;
  }

  bool Vector(const char* s, const char* e, std::vector<aiVector3D>& into, int least, int most) {
    float v[3] = {0, 0, 0};
    int n = 0;
    while (s < e) {
      if (n == most) return No("a vector with more numbers than expected");
      s = ParseNumber(s, e, v[n]);
      if (!s) return No("a number in a form left to assimp");
      if (!std::isfinite(v[n])) return No("a number that is not finite");
      ++n;
      s = SkipBlanks(s, e);
    }
    if (n < least) return No("a vector with fewer numbers than expected");
    into.emplace_back(v[0], v[1], v[2]);
    return true;
  }

  bool Face(const char* s, const char* e) {
    sawGeometryUse_ = true;
    if (current_ < 0) {
      // Faces before any object: assimp's "defaultobject".
      objects_.push_back(Object{"defaultobject", {}});
      current_ = 0;
    }
    if (material_.empty()) {
      // Without a library assimp gives them its default material; with one,
      // the library's last material, which is left to assimp.
      if (!libraries_.empty()) return No("faces before any material is chosen");
      material_ = "\001default";
    }
    const std::size_t first = corners_.size();
    const auto nv = static_cast<std::int64_t>(positions_.size());
    const auto nt = static_cast<std::int64_t>(uvs_.size());
    const auto nn = static_cast<std::int64_t>(normals_.size());
    int shape = -1;  // 0 v, 1 v/t, 2 v//n, 3 v/t/n: one shape per face
    while (s < e) {
      Corner c;
      s = ParseIndex(s, e, nv, c.v);
      if (!s) return No("a face index that is malformed or out of range");
      int thisShape = 0;
      if (s < e && *s == '/') {
        ++s;
        if (s < e && *s != '/') {
          s = ParseIndex(s, e, nt, c.t);
          if (!s) return No("a texture index that is malformed or out of range");
          thisShape = 1;
        }
        if (s < e && *s == '/') {
          ++s;
          s = ParseIndex(s, e, nn, c.n);
          if (!s) return No("a normal index that is malformed or out of range");
          thisShape |= 2;
        } else if (thisShape == 0) {
          return No("a face corner of a form left to assimp");
        }
      }
      if (s < e && !IsBlank(*s)) return No("a face corner of a form left to assimp");
      if (shape >= 0 && shape != thisShape) return No("a face whose corners carry different data");
      shape = thisShape;
      corners_.push_back(c);
      s = SkipBlanks(s, e);
    }
    if (corners_.size() - first < 3) return No("a face of fewer than three corners");
    // Objects are never revisited (a repeated name is declined), so the
    // current object's last run is the last run of all.
    Object& object = objects_[static_cast<std::size_t>(current_)];
    const std::size_t face = faceStart_.size();
    if (object.runs.empty() || runMaterial_.back() != material_) {
      object.runs.push_back(Run{0, face, face});
      runMaterial_.push_back(material_);
    }
    object.runs.back().endFace = face + 1;
    faceStart_.push_back(static_cast<std::uint32_t>(first));
    faceShape_.push_back(static_cast<std::uint8_t>(shape));
    changesSinceFace_ = 0;
    return true;
  }

  // assimp names an object by its first word, a group by all its words.
  bool NewObject(const char* s, const char* e, bool group) {
    const char* name = s;
    while (s < e && (group || !IsBlank(*s))) ++s;
    if (s != e || name == e) return No("an object name that is empty or has blanks");
    std::string text(name, static_cast<std::size_t>(e - name));
    if (text == "defaultobject" || !objectNames_.insert(text).second)
      return No("an object name used twice");  // assimp continues the earlier object then
    objects_.push_back(Object{std::move(text), {}});
    current_ = static_cast<std::int64_t>(objects_.size()) - 1;
    changesSinceFace_ = 0;
    return true;
  }

  bool UseMaterial(const char* s, const char* e) {
    sawGeometryUse_ = true;
    const char* name = s;
    if (name == e) return No("an empty material name");
    std::string text(name, static_cast<std::size_t>(e - name));
    if (text == material_) return true;
    // Two changes without a face between them, inside an object that has
    // faces: how assimp splits its meshes then is left to it.
    if (++changesSinceFace_ > 1 && current_ >= 0 && !objects_[static_cast<std::size_t>(current_)].runs.empty())
      return No("material changes without faces between them");
    material_ = std::move(text);
    return true;
  }

  // ---- Materials, read by assimp -------------------------------------------------
  bool LoadMaterials() {
    std::string standIn;
    for (const std::string& line : libraries_) standIn += line + "\n";
    standIn += "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    Assimp::Importer importer;
    importer.SetIOHandler(new StandInIO(path_, std::move(standIn)));
    if (!importer.ReadFile(path_, 0)) return No(std::string("assimp cannot read the materials: ") + importer.GetErrorString());
    materialScene_.reset(importer.GetOrphanedScene());
    if (!materialScene_ || materialScene_->mNumMaterials == 0) return No("assimp gives no materials");
    return true;
  }

  bool ResolveMaterials() {
    std::vector<std::string> names;
    for (unsigned i = 0; i < materialScene_->mNumMaterials; ++i) {
      aiString name;
      if (materialScene_->mMaterials[i]->Get(AI_MATKEY_NAME, name) != AI_SUCCESS) return No("a material without name");
      names.emplace_back(name.C_Str());
    }
    std::size_t r = 0;
    for (Object& object : objects_)
      for (Run& run : object.runs) {
        const std::string& wanted = runMaterial_[r++];
        long found = -1;
        if (wanted == "\001default") {
          found = 0;
        } else {
          for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] != wanted) continue;
            if (found >= 0) return No("two materials of one name");
            found = static_cast<long>(i);
          }
        }
        // assimp makes a material of its own for a name no library holds.
        if (found < 0) return No("a material that no library defines");
        run.material = static_cast<unsigned>(found);
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
      for (const Run& run : object.runs) {
        MeshJob job;
        job.run = &run;
        jobs.push_back(std::move(job));
      }
    std::atomic<bool> failed{false};
    std::mutex whyLock;
    std::string why;
    base::ParallelFor(jobs.size(), [&](std::size_t i) {
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
    scene->mMaterials = materialScene_->mMaterials;
    scene->mNumMaterials = materialScene_->mNumMaterials;
    materialScene_->mMaterials = nullptr;
    materialScene_->mNumMaterials = 0;
    std::size_t meshCount = 0;
    for (const MeshJob& job : jobs)
      for (const aiMesh* mesh : job.mesh)
        if (mesh) ++meshCount;
    scene->mMeshes = new aiMesh*[meshCount ? meshCount : 1];
    scene->mRootNode = new aiNode(std::filesystem::path(path_).filename().string());
    aiNode* root = scene->mRootNode;
    root->mChildren = new aiNode*[objects_.empty() ? 1 : objects_.size()];
    std::size_t jobIndex = 0;
    for (const Object& object : objects_) {
      auto* node = new aiNode(object.name);
      node->mParent = root;
      root->mChildren[root->mNumChildren++] = node;
      std::vector<unsigned> meshes;
      for (std::size_t r = 0; r < object.runs.size(); ++r) {
        MeshJob& job = jobs[jobIndex++];
        for (int part = 0; part < 2; ++part) {
          if (!job.mesh[part]) continue;
          meshes.push_back(scene->mNumMeshes);
          scene->mMeshes[scene->mNumMeshes++] = job.mesh[part];
          out.pools_.push_back(std::move(job.pool[part]));
        }
      }
      if (!meshes.empty()) {
        node->mNumMeshes = static_cast<unsigned>(meshes.size());
        node->mMeshes = new unsigned[meshes.size()];
        std::memcpy(node->mMeshes, meshes.data(), meshes.size() * sizeof(unsigned));
      }
    }
    return true;
  }

  // One run of faces as one mesh: corners joined where all their data is
  // equal (first occurrence first, as assimp's joining keeps them),
  // degenerate faces and invalid data declined. Runs on parallel threads;
  // reads the parse only.
  std::string MakeMesh(MeshJob& job) {
    const Run& run = *job.run;
    const int shape = faceShape_[run.firstFace];
    for (std::size_t f = run.firstFace; f < run.endFace; ++f)
      if (faceShape_[f] != shape) return "a mesh whose faces carry different data";
    const bool hasUV = (shape & 1) != 0, hasNormals = (shape & 2) != 0;

    for (std::size_t f = run.firstFace; f < run.endFace; ++f) {
      const std::size_t b = faceStart_[f], e = faceStart_[f + 1];
      // assimp removes corners at one place and faces without area; which
      // of them it keeps is left to it.
      for (std::size_t i = b; i < e; ++i)
        for (std::size_t j = i + 1; j < e; ++j)
          if (positions_[static_cast<std::size_t>(corners_[i].v)] == positions_[static_cast<std::size_t>(corners_[j].v)])
            return "a face with two corners at one place";
      double nx = 0, ny = 0, nz = 0;
      for (std::size_t i = b; i < e; ++i) {
        const aiVector3D& a = positions_[static_cast<std::size_t>(corners_[i].v)];
        const aiVector3D& c = positions_[static_cast<std::size_t>(corners_[i + 1 < e ? i + 1 : b].v)];
        nx += (double(a.y) - c.y) * (double(a.z) + c.z);
        ny += (double(a.z) - c.z) * (double(a.x) + c.x);
        nz += (double(a.x) - c.x) * (double(a.y) + c.y);
      }
      if (std::sqrt(nx * nx + ny * ny + nz * nz) / 2 < 1e-5) return "a face of (nearly) no area";
      if (hasNormals)
        for (std::size_t i = b; i < e; ++i)
          if (normals_[static_cast<std::size_t>(corners_[i].n)].SquareLength() < 1e-6f) return "a zero normal";
    }

    // assimp sorts a mesh by primitive type: its triangles form one mesh,
    // its larger polygons the next, each joined on its own.
    std::vector<std::uint32_t> triangles, polygons;
    for (std::size_t f = run.firstFace; f < run.endFace; ++f)
      (faceStart_[f + 1] - faceStart_[f] == 3 ? triangles : polygons).push_back(static_cast<std::uint32_t>(f));
    int part = 0;
    for (const std::vector<std::uint32_t>* list : {&triangles, &polygons}) {
      if (list->empty()) continue;
      std::string problem = JoinPart(*list, hasNormals, hasUV, run.material, job.mesh[part], job.pool[part]);
      if (!problem.empty()) return problem;
      ++part;
    }
    return {};
  }

  // One mesh of the given faces: corners joined where all their data is
  // equal, in order of first use (as assimp's joining keeps them).
  std::string JoinPart(const std::vector<std::uint32_t>& faceList, bool hasNormals, bool hasUV, unsigned material,
                       aiMesh*& meshOut, std::unique_ptr<unsigned[]>& pool) {
    std::size_t corners = 0;
    for (std::uint32_t f : faceList) corners += faceStart_[f + 1] - faceStart_[f];
    if (hasUV) {
      // assimp drops coordinates that are all the same; left to it.
      const aiVector3D& first = uvs_[static_cast<std::size_t>(corners_[faceStart_[faceList[0]]].t)];
      bool allSame = true;
      for (std::size_t f = 0; f < faceList.size() && allSame; ++f)
        for (std::size_t ci = faceStart_[faceList[f]]; ci < faceStart_[faceList[f] + 1] && allSame; ++ci)
          allSame = Near(uvs_[static_cast<std::size_t>(corners_[ci].t)], first);
      if (allSame) return "a mesh whose texture coordinates are all the same";
    }
    // Through an open-addressing table of vertex numbers.
    std::size_t tableSize = 16;
    while (tableSize < 2 * corners) tableSize <<= 1;
    std::vector<std::uint32_t> table(tableSize, 0xffffffffu);
    std::vector<VertexKey> keys;
    keys.reserve(corners);
    std::vector<std::uint32_t> cornerVertex(corners);
    std::vector<std::uint32_t> firstCorner;
    firstCorner.reserve(corners);
    // Vertices at one position, chained, to find attribute values that
    // assimp's joining (which allows a small tolerance) would take as equal.
    std::vector<std::uint32_t> positionTable(tableSize, 0xffffffffu), samePosition;
    samePosition.reserve(corners);
    std::size_t i = 0;
    for (std::uint32_t f : faceList)
      for (std::size_t ci = faceStart_[f]; ci < faceStart_[f + 1]; ++ci, ++i) {
        const Corner& c = corners_[ci];
        const aiVector3D& p = positions_[static_cast<std::size_t>(c.v)];
        VertexKey k{};
        k.f[0] = Canon(p.x);
        k.f[1] = Canon(p.y);
        k.f[2] = Canon(p.z);
        if (hasNormals) {
          const aiVector3D& n = normals_[static_cast<std::size_t>(c.n)];
          k.f[3] = Canon(n.x);
          k.f[4] = Canon(n.y);
          k.f[5] = Canon(n.z);
        }
        if (hasUV) {
          const aiVector3D& t = uvs_[static_cast<std::size_t>(c.t)];
          k.f[6] = Canon(t.x);
          k.f[7] = Canon(t.y);
          k.f[8] = Canon(t.z);
        }
        std::size_t slot = HashKey(k) & (tableSize - 1);
        std::uint32_t found = 0xffffffffu;
        while (table[slot] != 0xffffffffu) {
          if (SameKey(keys[table[slot]], k)) {
            found = table[slot];
            break;
          }
          slot = (slot + 1) & (tableSize - 1);
        }
        if (found == 0xffffffffu) {
          found = static_cast<std::uint32_t>(keys.size());
          table[slot] = found;
          // Others at this position: their normals and coordinates must be
          // clearly apart from this one's.
          VertexKey pk{};
          pk.f[0] = k.f[0];
          pk.f[1] = k.f[1];
          pk.f[2] = k.f[2];
          std::size_t ps = HashKey(pk) & (tableSize - 1);
          std::uint32_t head = 0xffffffffu;
          while (positionTable[ps] != 0xffffffffu) {
            const VertexKey& other = keys[positionTable[ps]];
            if (other.f[0] == k.f[0] && other.f[1] == k.f[1] && other.f[2] == k.f[2]) {
              head = positionTable[ps];
              break;
            }
            ps = (ps + 1) & (tableSize - 1);
          }
          for (std::uint32_t o = head; o != 0xffffffffu; o = samePosition[o]) {
            const VertexKey& other = keys[o];
            const aiVector3D on(other.f[3], other.f[4], other.f[5]), kn(k.f[3], k.f[4], k.f[5]);
            const aiVector3D ot(other.f[6], other.f[7], other.f[8]), kt(k.f[6], k.f[7], k.f[8]);
            if (Near(on, kn) && Near(ot, kt)) return "vertices that differ by less than assimp's tolerance";
          }
          samePosition.push_back(head);
          positionTable[ps] = found;
          keys.push_back(k);
          firstCorner.push_back(static_cast<std::uint32_t>(ci));
        }
        cornerVertex[i] = found;
      }

    auto* mesh = new aiMesh();
    meshOut = mesh;
    const std::size_t nv = keys.size();
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
      if (hasUV) mesh->mTextureCoords[0][v] = uvs_[static_cast<std::size_t>(c.t)];
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
    mesh->mPrimitiveTypes = faceList.size() && mesh->mFaces[0].mNumIndices == 3 ? aiPrimitiveType_TRIANGLE
                                                                               : aiPrimitiveType_POLYGON;
    return {};
  }

  std::string path_;
  std::string why_;
  std::vector<aiVector3D> positions_, normals_, uvs_;
  std::vector<Corner> corners_;
  std::vector<std::uint32_t> faceStart_;
  std::vector<std::uint8_t> faceShape_;
  std::vector<Object> objects_;
  std::set<std::string> objectNames_;
  std::vector<std::string> libraries_;
  std::vector<std::string> runMaterial_;  // per run, in order: its material's name
  std::int64_t current_ = -1;
  std::string material_;
  bool sawGeometryUse_ = false;
  bool sawObject_ = false, sawGroup_ = false;
  int changesSinceFace_ = 0;
  std::unique_ptr<aiScene> materialScene_;
};

std::unique_ptr<DirectScene> ReadObj(const std::string& path, std::string* declined) {
  return ObjReader(path).Read(declined);
}

}  // namespace hostmodel::detail
