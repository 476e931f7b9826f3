#include "collada/geometry_text.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "collada/number_text.h"
#include "parallel_or_throw.h"

namespace collada {
namespace {

inline float FloatAt(const std::uint32_t* words, std::size_t i) { return std::bit_cast<float>(words[i]); }

// The formatting of each array, for elements [begin, end), into room the
// caller sized with the per-element maxima below.
constexpr std::size_t kMaxTripleText = 3 * (kMaxFixedText + 1);
constexpr std::size_t kMaxPairText = 2 * (kMaxFixedText + 1);
constexpr std::size_t kMaxIndexText = kMaxIntText + 1;

char* FormatTriples(char* p, const std::uint32_t* words, std::size_t begin, std::size_t end) {
  for (std::size_t v = begin; v < end; ++v) {
    const std::uint32_t* w = words + 3 * v;
    p = WriteFixed3(p, FloatAt(w, 0));
    *p++ = ' ';
    p = WriteFixed3(p, FloatAt(w, 2));
    *p++ = ' ';
    p = WriteFixed3(p, FloatAt(w, 1));
    *p++ = ' ';
  }
  return p;
}

char* FormatPairs(char* p, const std::uint32_t* uv, std::size_t begin, std::size_t end) {
  for (std::size_t v = begin; v < end; ++v) {
    p = WriteFixed3(p, FloatAt(uv, 2 * v));
    *p++ = ' ';
    p = WriteFixed3(p, 1.0f - FloatAt(uv, 2 * v + 1));
    *p++ = ' ';
  }
  return p;
}

char* FormatIndices(char* p, const std::uint32_t* indices, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    p = WriteInt(p, static_cast<std::int32_t>(indices[i]));
    *p++ = ' ';
  }
  return p;
}

enum ArrayKind { kPositions, kNormals, kTexcoords, kIndices, kArrayKinds };

// Elements per piece: a few hundred kilobytes of text, so that one large
// geometry keeps every thread busy and the pieces stay in cache.
constexpr std::size_t kPieceElements = 1 << 14;

struct ArrayJob {
  GeometryInfo* geometry = nullptr;
  ArrayKind kind = kPositions;
  const std::uint32_t* words = nullptr;
  std::size_t count = 0;       // elements
  std::size_t firstPiece = 0;  // index into the piece list
  std::size_t pieces = 0;
};

struct Piece {
  const ArrayJob* array = nullptr;
  std::size_t begin = 0, end = 0;
  std::unique_ptr<char[]> text;  // uninitialised room: only what is written is touched
  std::size_t size = 0;
};

void FormatPiece(Piece& piece) {
  const ArrayJob& a = *piece.array;
  const std::size_t n = piece.end - piece.begin;
  const std::size_t room = n * (a.kind == kIndices ? kMaxIndexText : a.kind == kTexcoords ? kMaxPairText : kMaxTripleText);
  piece.text.reset(new char[room]);
  char* p = piece.text.get();
  char* end;
  switch (a.kind) {
    case kPositions:
    case kNormals:
      end = FormatTriples(p, a.words, piece.begin, piece.end);
      break;
    case kTexcoords:
      end = FormatPairs(p, a.words, piece.begin, piece.end);
      break;
    default:
      end = FormatIndices(p, a.words, piece.begin, piece.end);
      break;
  }
  piece.size = static_cast<std::size_t>(end - p);
}

ArrayText& TextOf(GeometryInfo& g, ArrayKind kind) {
  switch (kind) {
    case kPositions:
      return g.positions;
    case kNormals:
      return g.normals;
    case kTexcoords:
      return g.texcoords;
    default:
      return g.indices;
  }
}

}  // namespace

void SerializeGeometries(const std::vector<GeometryInfo*>& geometries) {
  std::vector<ArrayJob> arrays;
  arrays.reserve(geometries.size() * kArrayKinds);
  std::size_t pieceCount = 0;
  for (GeometryInfo* g : geometries) {
    const std::uint32_t* words = g->vertexData.get();
    std::size_t V = 0, I = 0;
    if (words != nullptr && g->vertexDataWords >= 3) {
      V = words[0];
      I = words[1];
      if (words[2] != 1 || V == 0 || MergedWords(V, I) > g->vertexDataWords) V = I = 0;
    }
    g->vertexCount = static_cast<std::uint32_t>(V);
    g->indexCount = static_cast<std::uint32_t>(I);
    const std::uint32_t* positions = V > 0 ? words + 3 : nullptr;
    const std::uint32_t* normals = V > 0 ? positions + 3 * V : nullptr;
    const std::uint32_t* uv = V > 0 ? normals + 3 * V : nullptr;
    const std::uint32_t* indices = V > 0 ? uv + 2 * V : nullptr;
    const std::pair<const std::uint32_t*, std::size_t> sources[kArrayKinds] = {
        {positions, V}, {normals, V}, {uv, V}, {indices, I}};
    for (int k = 0; k < kArrayKinds; ++k) {
      ArrayJob a;
      a.geometry = g;
      a.kind = static_cast<ArrayKind>(k);
      a.words = sources[k].first;
      a.count = sources[k].second;
      a.firstPiece = pieceCount;
      a.pieces = (a.count + kPieceElements - 1) / kPieceElements;
      pieceCount += a.pieces;
      arrays.push_back(a);
    }
  }
  std::vector<Piece> pieces(pieceCount);
  for (const ArrayJob& a : arrays)
    for (std::size_t i = 0; i < a.pieces; ++i) {
      Piece& piece = pieces[a.firstPiece + i];
      piece.array = &a;
      piece.begin = i * kPieceElements;
      piece.end = std::min(a.count, piece.begin + kPieceElements);
    }
  ParallelOrThrow(pieces.size(), [&](std::size_t i) { FormatPiece(pieces[i]); });
  for (const ArrayJob& a : arrays) {
    ArrayText& text = TextOf(*a.geometry, a.kind);
    text = ArrayText();
    for (std::size_t k = 0; k < a.pieces; ++k) {
      Piece& piece = pieces[a.firstPiece + k];
      text.Add(std::move(piece.text), piece.size);
    }
  }
  for (GeometryInfo* g : geometries) {
    g->vertexData.reset();
    g->vertexDataWords = 0;
  }
}

void SerializeGeometry(GeometryInfo& geometry) { SerializeGeometries({&geometry}); }

}  // namespace collada
