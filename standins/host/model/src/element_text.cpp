#include "element_text.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <future>
#include <nlohmann/json.hpp>

#include "base/parallel_for.h"

namespace hostmodel::detail {

namespace {

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void Newline(int depth) {
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth), ' ');
  }

  // A member's key: the start of a line of the object at depth - 1.
  void Key(int depth, const char* key, bool first = false) {
    if (!first) out_ += ',';
    Newline(depth);
    out_ += '"';
    out_ += key;
    out_ += "\": ";
  }

  // As the JSON library dumps text, invalid UTF-8 replaced.
  void Text(const std::string& s) {
    out_ += nlohmann::ordered_json(s).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }

  // The JSON library's shortest form that reads back to the same double.
  void Number(double x) {
    if (!std::isfinite(x)) {
      out_ += "null";
      return;
    }
    char buffer[64];
    char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, x);
    out_.append(buffer, static_cast<std::size_t>(end - buffer));
  }

  void Integer(std::int64_t v) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    out_.append(buffer, static_cast<std::size_t>(end - buffer));
  }

  void Bool(bool b) { out_ += b ? "true" : "false"; }

  void Point(const Vec3& v) {
    out_ += '[';
    Number(v.x);
    out_ += ", ";
    Number(v.y);
    out_ += ", ";
    Number(v.z);
    out_ += ']';
  }

  // An array of items at depth; empty arrays stay "[]".
  template <typename List, typename Item>
  void Array(const List& list, int depth, Item&& item) {
    out_ += '[';
    bool first = true;
    for (const auto& e : list) {
      if (!first) out_ += ',';
      first = false;
      Newline(depth + 1);
      item(e);
    }
    if (!first) Newline(depth);
    out_ += ']';
  }

  void Points(const std::vector<Vec3>& list, int depth) {
    Array(list, depth, [&](const Vec3& v) { Point(v); });
  }

  void Polygon(const hostmodel::Polygon& p, int depth) {
    out_ += '{';
    Key(depth + 1, "material", true);
    Integer(p.materialIndex);
    if (p.textureIndex != 0) {
      Key(depth + 1, "texture");
      Integer(p.textureIndex);
    }
    Key(depth + 1, "normal");
    Integer(p.normalIndex);
    if (p.invisible) {
      Key(depth + 1, "invisible");
      Bool(true);
    }
    if (p.curved) {
      Key(depth + 1, "curved");
      Bool(true);
    }
    if (!(p.mapping == TextureMapping{})) {
      Key(depth + 1, "mapping");
      out_ += '{';
      Key(depth + 2, "projection", true);
      out_ += ProjectionName(p.mapping.projection);
      Key(depth + 2, "origin");
      Point(p.mapping.origin);
      Key(depth + 2, "u");
      Point(p.mapping.uAxis);
      Key(depth + 2, "v");
      Point(p.mapping.vAxis);
      Newline(depth + 1);
      out_ += '}';
    }
    Key(depth + 1, "pieces");
    Array(p.convexPieces, depth + 1, [&](const std::vector<std::int32_t>& piece) {
      out_ += '[';
      for (std::size_t i = 0; i < piece.size(); ++i) {
        if (i) out_ += ", ";
        Integer(piece[i]);
      }
      out_ += ']';
    });
    Newline(depth);
    out_ += '}';
  }

  void Body(const hostmodel::Body& b, int depth) {
    out_ += '{';
    Key(depth + 1, "closed", true);
    Bool(b.closed);
    Key(depth + 1, "vertices");
    Points(b.vertices, depth + 1);
    Key(depth + 1, "polygonNormals");
    Points(b.polygonNormals, depth + 1);
    if (!b.vertexNormals.empty()) {
      Key(depth + 1, "vertexNormals");
      Points(b.vertexNormals, depth + 1);
    }
    if (!b.texCoords.empty()) {
      Key(depth + 1, "texCoords");
      Array(b.texCoords, depth + 1, [&](const Vec2& t) {
        out_ += '[';
        Number(t.u);
        out_ += ", ";
        Number(t.v);
        out_ += ']';
      });
    }
    Key(depth + 1, "polygons");
    Array(b.polygons, depth + 1, [&](const hostmodel::Polygon& p) { Polygon(p, depth + 2); });
    Newline(depth);
    out_ += '}';
  }

  void Element(const hostmodel::Element& e, int depth) {
    out_ += '{';
    Key(depth + 1, "guid", true);
    Text(e.guid.ToString());
    Key(depth + 1, "genId");
    Integer(e.genId);
    Key(depth + 1, "name");
    Text(e.name);
    Key(depth + 1, "bodies");
    Array(e.bodies, depth + 1, [&](const hostmodel::Body& b) { Body(b, depth + 2); });
    Newline(depth);
    out_ += '}';
  }

 private:
  static const char* ProjectionName(TextureProjection p) {
    switch (p) {
      case TextureProjection::Planar: return "\"planar\"";
      case TextureProjection::Vertex: return "\"vertex\"";
      case TextureProjection::Box:
      default: return "\"box\"";
    }
  }

  std::string& out_;
};

}  // namespace

bool WriteElements(const Project& project, int depth, const std::function<bool(std::string_view)>& write) {
  const std::vector<Element>& elements = project.elements;
  if (elements.empty()) return write("[]");
  // Runs of elements of about equal geometry, each written to a text of its
  // own on some thread; a wave of them is handed to write, in order, while
  // the next wave is made.
  std::vector<std::size_t> bounds{0};
  std::size_t total = 0;
  for (const Element& e : elements)
    for (const Body& b : e.bodies) total += b.vertices.size() + b.polygons.size() + 1;
  const std::size_t share = std::max<std::size_t>(total / 256, 1);
  std::size_t run = 0;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    for (const Body& b : elements[i].bodies) run += b.vertices.size() + b.polygons.size() + 1;
    if (run >= share && i + 1 < elements.size()) {
      bounds.push_back(i + 1);
      run = 0;
    }
  }
  bounds.push_back(elements.size());
  const std::size_t runs = bounds.size() - 1, wave = 16;
  if (!write("[")) return false;
  std::future<bool> written;
  for (std::size_t first = 0; first < runs; first += wave) {
    std::vector<std::string> parts(std::min(wave, runs - first));
    std::atomic<bool> exhausted{false};
    base::ParallelFor(parts.size(), [&](std::size_t k) {
      try {
        Writer w(parts[k]);
        for (std::size_t i = bounds[first + k]; i < bounds[first + k + 1]; ++i) {
          if (i) parts[k] += ',';
          w.Newline(depth + 1);
          w.Element(elements[i], depth + 1);
        }
      } catch (const std::bad_alloc&) {
        exhausted = true;
      }
    });
    if (written.valid() && !written.get()) return false;
    if (exhausted) throw std::bad_alloc();
    written = std::async(std::launch::async, [&write, parts = std::move(parts)] {
      for (const std::string& p : parts)
        if (!write(p)) return false;
      return true;
    });
  }
  if (written.valid() && !written.get()) return false;
  std::string end;
  Writer(end).Newline(depth);
  end += ']';
  return write(end);
}

void AppendElements(const Project& project, int depth, std::string& out) {
  WriteElements(project, depth, [&](std::string_view text) {
    out += text;
    return true;
  });
}

}  // namespace hostmodel::detail
