#include "hostmodel/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

namespace hostmodel {

namespace {

Vec3 Sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double Length(const Vec3& a) { return std::sqrt(Dot(a, a)); }

const Vec3& At(const std::vector<Vec3>& pts, std::int32_t i) { return pts[static_cast<std::size_t>(i)]; }

// Signed turn at b (a -> b -> c) measured along the normal, scaled by the
// loop's size so that the tolerance is relative.
double Turn(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& n) { return Dot(Cross(Sub(b, a), Sub(c, b)), n); }

bool Inside(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& n, double eps) {
  return Turn(a, b, p, n) >= -eps && Turn(b, c, p, n) >= -eps && Turn(c, a, p, n) >= -eps;
}

double Scale(const std::vector<Vec3>& pts, std::span<const std::int32_t> loop) {
  double s = 0;
  for (std::int32_t i : loop) {
    const Vec3& p = At(pts, i);
    s = std::max({s, std::fabs(p.x - At(pts, loop[0]).x), std::fabs(p.y - At(pts, loop[0]).y),
                  std::fabs(p.z - At(pts, loop[0]).z)});
  }
  return s;
}

// Drops consecutive repeats of the same index or the same position.
std::vector<std::int32_t> Clean(const std::vector<Vec3>& pts, const std::vector<std::int32_t>& loop) {
  std::vector<std::int32_t> out;
  for (std::int32_t i : loop) {
    if (!out.empty() && (out.back() == i || At(pts, out.back()) == At(pts, i))) continue;
    out.push_back(i);
  }
  while (out.size() > 1 && (out.front() == out.back() || At(pts, out.front()) == At(pts, out.back()))) out.pop_back();
  return out;
}

bool ConvexWithTolerance(const std::vector<Vec3>& pts, std::span<const std::int32_t> loop, const Vec3& n, double eps) {
  const std::size_t m = loop.size();
  if (m < 3) return false;
  for (std::size_t i = 0; i < m; ++i) {
    const Vec3& a = At(pts, loop[i]);
    const Vec3& b = At(pts, loop[(i + 1) % m]);
    const Vec3& c = At(pts, loop[(i + 2) % m]);
    if (Turn(a, b, c, n) < -eps) return false;
  }
  return true;
}

}  // namespace

Vec3 LoopNormal(const std::vector<Vec3>& points, std::span<const std::int32_t> loop) {
  Vec3 n;
  const std::size_t m = loop.size();
  for (std::size_t i = 0; i < m; ++i) {
    const Vec3& a = At(points, loop[i]);
    const Vec3& b = At(points, loop[(i + 1) % m]);
    n.x += (a.y - b.y) * (a.z + b.z);
    n.y += (a.z - b.z) * (a.x + b.x);
    n.z += (a.x - b.x) * (a.y + b.y);
  }
  double len = Length(n);
  double scale = m ? Scale(points, loop) : 0;
  if (!(len > 1e-12 * std::max(1.0, scale * scale))) return {};
  return {n.x / len, n.y / len, n.z / len};
}

bool IsConvexLoop(const std::vector<Vec3>& points, std::span<const std::int32_t> loop, const Vec3& normal) {
  double s = Scale(points, loop);
  return ConvexWithTolerance(points, loop, normal, 1e-9 * std::max(1.0, s * s));
}

std::vector<std::vector<std::int32_t>> SplitConvex(const std::vector<Vec3>& points,
                                                   const std::vector<std::int32_t>& rawLoop, Vec3* normal) {
  std::vector<std::int32_t> loop = Clean(points, rawLoop);
  if (loop.size() < 3) return {};
  Vec3 n = LoopNormal(points, loop);
  if (n == Vec3{}) return {};
  if (normal) *normal = n;
  double s = Scale(points, loop);
  double eps = 1e-9 * std::max(1.0, s * s);
  if (ConvexWithTolerance(points, loop, n, eps)) return {loop};

  // Ear clipping over a doubly linked ring of loop positions. Only reflex
  // (or flat) corners can lie inside an ear, so only they are tested; that
  // keeps large faces near quadratic instead of cubic.
  std::vector<std::vector<std::int32_t>> tris;
  const std::size_t L = loop.size();
  std::vector<std::size_t> prev(L), next(L);
  for (std::size_t i = 0; i < L; ++i) {
    prev[i] = (i + L - 1) % L;
    next[i] = (i + 1) % L;
  }
  auto P = [&](std::size_t node) -> const Vec3& { return At(points, loop[node]); };
  auto turnAt = [&](std::size_t node) { return Turn(P(prev[node]), P(node), P(next[node]), n); };
  std::set<std::size_t> reflex;
  for (std::size_t i = 0; i < L; ++i)
    if (turnAt(i) <= eps) reflex.insert(i);
  auto isEar = [&](std::size_t node) {
    if (reflex.count(node)) return false;
    const std::size_t pa = prev[node], pc = next[node];
    const Vec3 &a = P(pa), &b = P(node), &c = P(pc);
    for (std::size_t r : reflex) {
      if (r == pa || r == pc) continue;
      const Vec3& p = P(r);
      if (p == a || p == b || p == c) continue;
      // A corner on the ear's boundary blocks it too: cutting there would
      // leave a pinched remainder whose later ears overlap this one.
      if (Inside(p, a, b, c, n, eps)) return false;
    }
    return true;
  };
  auto unlink = [&](std::size_t node) {
    const std::size_t pa = prev[node], pc = next[node];
    next[pa] = pc;
    prev[pc] = pa;
    reflex.erase(node);
    for (std::size_t x : {pa, pc}) {
      if (turnAt(x) <= eps) reflex.insert(x);
      else reflex.erase(x);
    }
  };
  std::size_t count = L, node = 0, stall = 0;
  while (count > 3) {
    if (isEar(node)) {
      tris.push_back({loop[prev[node]], loop[node], loop[next[node]]});
      std::size_t back = prev[node];
      unlink(node);
      --count;
      node = back;
      stall = 0;
      continue;
    }
    node = next[node];
    if (++stall <= count) continue;
    // No ear left: only flat corners or a self-touching loop remain. Drop
    // a flat corner if there is one, else fan what is left so no area is lost.
    stall = 0;
    bool dropped = false;
    for (std::size_t k = 0, x = node; k < count && !dropped; ++k, x = next[x])
      if (std::fabs(turnAt(x)) <= eps) {
        node = prev[x];
        unlink(x);
        --count;
        dropped = true;
      }
    if (!dropped) {
      for (std::size_t x = next[node]; next[x] != node; x = next[x])
        tris.push_back({loop[node], loop[x], loop[next[x]]});
      count = 0;
    }
  }
  if (count == 3 && turnAt(node) > eps) tris.push_back({loop[prev[node]], loop[node], loop[next[node]]});

  // Merge neighbouring pieces across a shared edge while the union stays
  // convex (Hertel-Mehlhorn): fewer, larger pieces, as the host reports.
  // Directed edges map to their piece so each diagonal is found directly.
  std::vector<std::vector<std::int32_t>> pieces = std::move(tris);
  std::vector<bool> alive(pieces.size(), true);
  std::map<std::pair<std::int32_t, std::int32_t>, std::size_t> owner;
  for (std::size_t i = 0; i < pieces.size(); ++i)
    for (std::size_t k = 0; k < pieces[i].size(); ++k) owner[{pieces[i][k], pieces[i][(k + 1) % pieces[i].size()]}] = i;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!alive[i]) continue;
    bool grew = true;
    while (grew) {
      grew = false;
      auto& Pc = pieces[i];
      for (std::size_t a = 0; a < Pc.size() && !grew; ++a) {
        std::int32_t u = Pc[a], v = Pc[(a + 1) % Pc.size()];
        auto it = owner.find({v, u});
        if (it == owner.end() || it->second == i || !alive[it->second]) continue;
        const std::size_t j = it->second;
        const auto& Q = pieces[j];
        std::size_t b = 0;
        while (b < Q.size() && !(Q[b] == v && Q[(b + 1) % Q.size()] == u)) ++b;
        if (b == Q.size()) continue;
        // Both pieces are convex, so their union is convex exactly when the
        // two corners where they join (at u and at v) are.
        const std::size_t np = Pc.size(), nq = Q.size();
        if (Turn(At(points, Pc[(a + np - 1) % np]), At(points, u), At(points, Q[(b + 2) % nq]), n) < -eps) continue;
        if (Turn(At(points, Q[(b + nq - 1) % nq]), At(points, v), At(points, Pc[(a + 2) % np]), n) < -eps) continue;
        // Union: P from v around to u, then Q after u up to before v.
        std::vector<std::int32_t> uni;
        for (std::size_t k = 0; k < np; ++k) uni.push_back(Pc[(a + 1 + k) % np]);
        for (std::size_t k = 2; k < nq; ++k) uni.push_back(Q[(b + k) % nq]);
        owner.erase({u, v});
        owner.erase({v, u});
        alive[j] = false;
        Pc = std::move(uni);
        for (std::size_t k = 0; k < Pc.size(); ++k) owner[{Pc[k], Pc[(k + 1) % Pc.size()]}] = i;
        grew = true;
      }
    }
  }
  std::vector<std::vector<std::int32_t>> kept;
  for (std::size_t i = 0; i < pieces.size(); ++i)
    if (alive[i]) kept.push_back(std::move(pieces[i]));
  pieces = std::move(kept);
  return pieces;
}

std::int32_t BodyMaker::AddVertex(const Vec3& p) {
  if (!body_.vertexNormals.empty()) {
    body_.vertexNormals.push_back({});  // zero: readers use the polygon normal
    body_.texCoords.push_back({});
  }
  body_.vertices.push_back(p);
  return static_cast<std::int32_t>(body_.vertices.size() - 1);
}

std::int32_t BodyMaker::AddVertex(const Vec3& p, const Vec3& normal, const Vec2& uv) {
  // Per-vertex data is all-or-nothing in a body: start the lists when the
  // first vertex with data arrives, filling earlier vertices with defaults.
  body_.vertexNormals.resize(body_.vertices.size());
  body_.texCoords.resize(body_.vertices.size());
  body_.vertices.push_back(p);
  body_.vertexNormals.push_back(normal);
  body_.texCoords.push_back(uv);
  return static_cast<std::int32_t>(body_.vertices.size() - 1);
}

std::uint64_t VectorHash(const Vec3& v) {
  std::uint64_t h = 0x9e3779b97f4a7c15ull;
  // Adding +0 turns -0 into 0, which compares equal to it.
  for (double d : {v.x + 0.0, v.y + 0.0, v.z + 0.0}) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    h = (h ^ bits) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  return h;
}

std::int32_t BodyMaker::NormalIndex(const Vec3& n) {
  std::vector<Vec3>& normals = body_.polygonNormals;
  if (normalSlots_.size() < 2 * (normals.size() + 1)) {
    // Keep the table at most half full; rehash every normal held.
    std::size_t size = 16;
    while (size < 4 * (normals.size() + 1)) size <<= 1;
    normalSlots_.assign(size, 0);
    for (std::size_t k = 0; k < normals.size(); ++k) {
      std::size_t slot = VectorHash(normals[k]) & (size - 1);
      while (normalSlots_[slot] != 0) slot = (slot + 1) & (size - 1);
      normalSlots_[slot] = static_cast<std::int32_t>(k + 1);
    }
  }
  const std::size_t mask = normalSlots_.size() - 1;
  std::size_t slot = VectorHash(n) & mask;
  for (; normalSlots_[slot] != 0; slot = (slot + 1) & mask)
    if (normals[static_cast<std::size_t>(normalSlots_[slot] - 1)] == n) return normalSlots_[slot];
  normals.push_back(n);
  normalSlots_[slot] = static_cast<std::int32_t>(normals.size());
  return normalSlots_[slot];
}

void BodyMaker::AddPolygon(const FaceOptions& options, const Vec3& normal, ConvexPieces pieces) {
  Polygon& poly = body_.polygons.emplace_back();
  poly.materialIndex = options.materialIndex;
  poly.textureIndex = options.textureIndex;
  poly.curved = options.curved;
  poly.invisible = options.invisible;
  SetMapping(body_, poly, options.mapping);
  poly.normalIndex = NormalIndex(normal);
  poly.convexPieces = std::move(pieces);
}

std::optional<bool> BodyMaker::AddConvexLoop(const std::vector<std::int32_t>& loop, const FaceOptions& options) {
  const auto& V = body_.vertices;
  const std::size_t m = loop.size();
  // What splitting would clean first: a corner repeating the one before
  // it (around the end too), by index or by position.
  for (std::size_t i = 0; i < m; ++i) {
    const std::int32_t a = loop[i], b = loop[(i + 1) % m];
    if (a == b || At(V, a) == At(V, b)) return std::nullopt;
  }
  const Vec3 n = LoopNormal(V, loop);
  if (n == Vec3{}) return false;  // as splitting finds: no area, no polygon
  const double s = Scale(V, loop);
  if (!ConvexWithTolerance(V, loop, n, 1e-9 * std::max(1.0, s * s))) return std::nullopt;
  ConvexPieces pieces;
  pieces.push_back(loop);
  AddPolygon(options, n, std::move(pieces));
  return true;
}

bool BodyMaker::AddFace(const std::vector<std::int32_t>& loop, const FaceOptions& options) {
  for (std::int32_t i : loop)
    if (i < 0 || static_cast<std::size_t>(i) >= body_.vertices.size()) return false;
  if (loop.size() == 3) {
    // Most faces of real models are triangles: convex by nature, so they
    // need neither cleaning copies nor splitting, only an area.
    const Vec3& a = body_.vertices[static_cast<std::size_t>(loop[0])];
    const Vec3& b = body_.vertices[static_cast<std::size_t>(loop[1])];
    const Vec3& c = body_.vertices[static_cast<std::size_t>(loop[2])];
    if (a == b || b == c || a == c) return false;
    const Vec3 n = LoopNormal(body_.vertices, loop);
    if (n == Vec3{}) return false;
    ConvexPieces pieces;
    pieces.push_back(loop);
    AddPolygon(options, n, std::move(pieces));
    return true;
  }
  // Most of the rest are clean convex quads: they take the same result
  // without the copies splitting makes.
  if (const std::optional<bool> added = AddConvexLoop(loop, options)) return *added;
  Vec3 normal;
  auto pieces = SplitConvex(body_.vertices, loop, &normal);
  if (pieces.empty()) return false;
  AddPolygon(options, normal, ConvexPieces(pieces));
  return true;
}

bool BodyMaker::AddPiecedFace(const std::vector<std::vector<std::int32_t>>& pieces, const FaceOptions& options) {
  if (pieces.empty()) return false;
  for (const auto& piece : pieces) {
    if (piece.size() < 3) return false;
    for (std::int32_t i : piece)
      if (i < 0 || static_cast<std::size_t>(i) >= body_.vertices.size()) return false;
  }
  Vec3 n = LoopNormal(body_.vertices, pieces.front());
  if (n == Vec3{}) return false;
  AddPolygon(options, n, ConvexPieces(pieces));
  return true;
}

void CloseTJunctions(Body& body) {
  const auto& V = body.vertices;
  for (Polygon& poly : body.polygons) {
    std::vector<std::vector<std::int32_t>> closed;
    for (const auto piece : poly.convexPieces) {
      std::vector<std::int32_t> out;
      for (std::size_t i = 0; i < piece.size(); ++i) {
        std::int32_t ia = piece[i], ib = piece[(i + 1) % piece.size()];
        const Vec3 &a = At(V, ia), &b = At(V, ib);
        Vec3 d = Sub(b, a);
        double len2 = Dot(d, d);
        out.push_back(ia);
        if (!(len2 > 0)) continue;
        // Vertices strictly inside the segment, ordered along it.
        std::vector<std::pair<double, std::int32_t>> inside;
        for (std::size_t k = 0; k < V.size(); ++k) {
          const Vec3& p = V[k];
          if (p == a || p == b) continue;
          Vec3 ap = Sub(p, a);
          double t = Dot(ap, d) / len2;
          if (t <= 1e-9 || t >= 1 - 1e-9) continue;
          Vec3 off = Cross(ap, d);
          if (Dot(off, off) > 1e-18 * len2 * len2) continue;
          inside.push_back({t, static_cast<std::int32_t>(k)});
        }
        std::sort(inside.begin(), inside.end());
        for (const auto& [t, k] : inside)
          if (out.back() != k && !(At(V, out.back()) == At(V, k))) out.push_back(k);
      }
      closed.push_back(std::move(out));
    }
    poly.convexPieces = ConvexPieces(closed);
  }
}

Body MakeBox(const Vec3& lo, const Vec3& hi, std::int32_t materialIndex) {
  BodyMaker maker(true);
  // Vertex k has x from bit 0, y from bit 1, z from bit 2.
  for (int k = 0; k < 8; ++k) maker.AddVertex({(k & 1) ? hi.x : lo.x, (k & 2) ? hi.y : lo.y, (k & 4) ? hi.z : lo.z});
  BodyMaker::FaceOptions o;
  o.materialIndex = materialIndex;
  const std::vector<std::vector<std::int32_t>> faces = {
      {0, 2, 3, 1},  // bottom (-z)
      {4, 5, 7, 6},  // top (+z)
      {0, 1, 5, 4},  // front (-y)
      {2, 6, 7, 3},  // back (+y)
      {0, 4, 6, 2},  // left (-x)
      {1, 3, 7, 5},  // right (+x)
  };
  for (const auto& f : faces) maker.AddFace(f, o);
  return maker.Take();
}

}  // namespace hostmodel
