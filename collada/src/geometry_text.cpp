#include "collada/geometry_text.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>

#include "collada/number_text.h"
#include "parallel_or_throw.h"

namespace collada {
namespace {

// Room per element of each array, which the formatters below never exceed.
constexpr std::size_t kMaxTripleText = 3 * (kMaxFixedText + 1);
constexpr std::size_t kMaxPairText = 2 * (kMaxFixedText + 1);
constexpr std::size_t kMaxIndexText = kMaxIntText + 1;

// Elements per piece: a few hundred kilobytes of text, so that one large
// geometry keeps every thread busy and the pieces stay in cache.
constexpr std::size_t kPieceElements = 1 << 14;
// Pieces formatted at once while the batch before is written.
constexpr std::size_t kBatchPieces = 8;

std::size_t MaxText(GeometryArray array) {
  switch (array) {
    case GeometryArray::kIndices: return kMaxIndexText;
    case GeometryArray::kTexcoords: return kMaxPairText;
    default: return kMaxTripleText;
  }
}

// A value of a run's array, zero past what the array holds.
inline float At(const float* values, std::size_t held, std::size_t i) { return i < held ? values[i] : 0.0f; }

inline char* Number(char* p, float value) {
  p = WriteFixed3(p, value);
  *p++ = ' ';
  return p;
}

// One element of a run, at its own position local within the run.
template <GeometryArray kArray>
char* FormatElement(char* p, const MeshRun& run, std::size_t local) {
  if constexpr (kArray == GeometryArray::kPositions) {
    const std::size_t i = 3 * local;
    p = Number(p, At(run.positions, run.positionsHeld, i));
    p = Number(p, At(run.positions, run.positionsHeld, i + 2));
    return Number(p, At(run.positions, run.positionsHeld, i + 1));
  } else if constexpr (kArray == GeometryArray::kNormals) {
    std::size_t i = 3 * local;
    if (run.normalOf != nullptr) i = local < run.normalOfHeld ? 3 * std::size_t{run.normalOf[local]} : run.normalsHeld;
    float a = At(run.normals, run.normalsHeld, i), b = At(run.normals, run.normalsHeld, i + 1),
          c = At(run.normals, run.normalsHeld, i + 2);
    // A back face's normals negated, zeros too: "-0.000".
    if (run.back) {
      a = -a;
      b = -b;
      c = -c;
    }
    p = Number(p, a);
    p = Number(p, c);
    return Number(p, b);
  } else if constexpr (kArray == GeometryArray::kTexcoords) {
    const std::size_t i = 2 * local;
    const float u = run.plainTexCoords ? 0.0f : At(run.texCoords, run.texCoordsHeld, i);
    const float v = run.plainTexCoords ? 1.0f : At(run.texCoords, run.texCoordsHeld, i + 1);
    p = Number(p, u);
    return Number(p, 1.0f - v);
  } else {
    const std::size_t from = run.back ? run.indexCount - 1 - local : local;
    std::uint32_t index = from < run.indicesHeld ? run.indices[from] : 0;
    if (run.clampIndices && index >= run.vertexCount) index = 0;
    p = WriteInt(p, static_cast<std::int32_t>(index + run.base));
    *p++ = ' ';
    return p;
  }
}

// Elements [begin, end) of the array the runs make, one after another.
template <GeometryArray kArray>
char* FormatRunsRange(char* p, const std::vector<MeshRun>& runs, std::size_t begin, std::size_t end) {
  constexpr bool indices = kArray == GeometryArray::kIndices;
  auto start = [&](const MeshRun& run) -> std::size_t { return indices ? run.firstIndex : run.base; };
  auto count = [&](const MeshRun& run) -> std::size_t { return indices ? run.indexCount : run.vertexCount; };
  // The last run that starts at or before begin.
  auto r =
      static_cast<std::size_t>(std::upper_bound(runs.begin(), runs.end(), begin,
                                                [&](std::size_t at, const MeshRun& run) { return at < start(run); }) -
                               runs.begin());
  if (r > 0) --r;
  for (std::size_t at = begin; at < end && r < runs.size(); ++r) {
    const MeshRun& run = runs[r];
    const std::size_t stop = std::min(end, start(run) + count(run));
    for (; at < stop; ++at) p = FormatElement<kArray>(p, run, at - start(run));
  }
  return p;
}

char* FormatRange(char* p, const std::vector<MeshRun>& runs, GeometryArray array, std::size_t begin, std::size_t end) {
  switch (array) {
    case GeometryArray::kPositions: return FormatRunsRange<GeometryArray::kPositions>(p, runs, begin, end);
    case GeometryArray::kNormals: return FormatRunsRange<GeometryArray::kNormals>(p, runs, begin, end);
    case GeometryArray::kTexcoords: return FormatRunsRange<GeometryArray::kTexcoords>(p, runs, begin, end);
    default: return FormatRunsRange<GeometryArray::kIndices>(p, runs, begin, end);
  }
}

std::size_t ElementCount(const GeometryInfo& g, GeometryArray array) {
  return array == GeometryArray::kIndices ? g.indexCount : g.vertexCount;
}

template <typename Geometry>
auto& TextOf(Geometry& g, GeometryArray array) {
  switch (array) {
    case GeometryArray::kPositions: return g.positions;
    case GeometryArray::kNormals: return g.normals;
    case GeometryArray::kTexcoords: return g.texcoords;
    default: return g.indices;
  }
}

constexpr GeometryArray kArrays[] = {GeometryArray::kPositions, GeometryArray::kNormals, GeometryArray::kTexcoords,
                                     GeometryArray::kIndices};

}  // namespace

void SerializeGeometry(GeometryInfo& g) {
  const std::uint32_t* words = g.vertexData.get();
  std::size_t V = 0, I = 0;
  if (words != nullptr && g.vertexDataWords >= 3) {
    V = words[0];
    I = words[1];
    if (words[2] != 1 || V == 0 || MergedWords(V, I) > g.vertexDataWords) V = I = 0;
  }
  g.vertexCount = static_cast<std::uint32_t>(V);
  g.indexCount = static_cast<std::uint32_t>(I);
  std::vector<MeshRun> runs;
  if (V > 0) {
    // The merged buffer is one run whose indices are taken as they are.
    MeshRun run;
    run.positions = reinterpret_cast<const float*>(words + 3);
    run.normals = run.positions + 3 * V;
    run.texCoords = run.normals + 3 * V;
    run.indices = reinterpret_cast<const std::uint32_t*>(run.texCoords + 2 * V);
    run.positionsHeld = run.normalsHeld = 3 * V;
    run.texCoordsHeld = 2 * V;
    run.indicesHeld = I;
    run.vertexCount = static_cast<std::uint32_t>(V);
    run.indexCount = static_cast<std::uint32_t>(I);
    run.clampIndices = false;
    runs.push_back(run);
  }
  for (GeometryArray array : kArrays) {
    const std::size_t count = ElementCount(g, array);
    const std::size_t pieces = (count + kPieceElements - 1) / kPieceElements;
    std::vector<std::pair<std::unique_ptr<char[]>, std::size_t>> texts(pieces);
    ParallelOrThrow(pieces, [&](std::size_t i) {
      const std::size_t begin = i * kPieceElements, end = std::min(count, begin + kPieceElements);
      texts[i].first.reset(new char[(end - begin) * MaxText(array)]);
      texts[i].second =
          static_cast<std::size_t>(FormatRange(texts[i].first.get(), runs, array, begin, end) - texts[i].first.get());
    });
    ArrayText& text = TextOf(g, array);
    text = ArrayText();
    for (auto& [piece, size] : texts) text.Add(std::move(piece), size);
  }
  g.vertexData.reset();
  g.vertexDataWords = 0;
}

void ArrayWriter::Write(OutputFile& out, const GeometryInfo& g, GeometryArray array) {
  if (g.runs.empty()) {
    TextOf(g, array).ForEach([&](std::string_view piece) { out.Write(piece); });
    return;
  }
  const std::size_t count = ElementCount(g, array);
  const std::size_t pieces = (count + kPieceElements - 1) / kPieceElements;
  const std::size_t batches = (pieces + kBatchPieces - 1) / kBatchPieces;
  if (slots_.empty()) slots_.resize(2 * kBatchPieces);
  // Batch b is formatted into one half of the slots while batch b - 1 goes
  // from the other half to the file; the last round only writes.
  for (std::size_t b = 0; b <= batches; ++b) {
    if (out.Failed()) return;
    const std::size_t first = b * kBatchPieces;
    const std::size_t formatting = b < batches ? std::min(kBatchPieces, pieces - first) : 0;
    const std::size_t writing = b > 0 ? std::min(kBatchPieces, pieces - (b - 1) * kBatchPieces) : 0;
    Slot* into = &slots_[(b % 2) * kBatchPieces];
    const Slot* from = &slots_[((b + 1) % 2) * kBatchPieces];
    const std::size_t tasks = formatting + (writing > 0 ? 1 : 0);
    const std::size_t firstPieceTask = writing > 0 ? 1 : 0;
    ParallelOrThrow(tasks, [&](std::size_t t) {
      // The writing task comes first: the loop's threads start on it early.
      if (t < firstPieceTask) {
        for (std::size_t k = 0; k < writing; ++k) out.Write(std::string_view(from[k].text.get(), from[k].size));
        return;
      }
      const std::size_t k = t - firstPieceTask;
      Slot& slot = into[k];
      // Room for the widest array: a slot serves every array it meets.
      if (!slot.text) slot.text.reset(new char[kPieceElements * kMaxTripleText]);
      const std::size_t begin = (first + k) * kPieceElements, end = std::min(count, begin + kPieceElements);
      slot.size = static_cast<std::size_t>(FormatRange(slot.text.get(), g.runs, array, begin, end) - slot.text.get());
    });
  }
}

}  // namespace collada
