#include "element_text.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <charconv>
#include <cmath>
#include <future>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/parallel_for.h"

namespace hostmodel::detail {

namespace {

// A growing piece of text written through a pointer: the elements' text is
// made a few characters at a time, and a std::string's checks on every
// append cost more than making them.
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(TextBuffer&& o) noexcept : data_(o.data_), size_(o.size_), capacity_(o.capacity_) { o.data_ = nullptr; }
  TextBuffer& operator=(TextBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    return *this;
  }
  ~TextBuffer() { std::free(data_); }

  std::string_view view() const { return {data_, size_}; }
  // Room for n more characters at end(); throws std::bad_alloc.
  char* Reserve(std::size_t n) {
    if (capacity_ - size_ < n) {
      // realloc moves a large block by remapping it, not by copying.
      const std::size_t capacity = std::max(capacity_ * 2, size_ + n + 4096);
      char* data = static_cast<char*>(std::realloc(data_, capacity));
      if (!data) throw std::bad_alloc();
      data_ = data;
      capacity_ = capacity;
    }
    return data_ + size_;
  }
  void Commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

// The JSON library's text of doubles last seen: coordinates and normals
// repeat a great deal within a model, and the library's shortest
// round-trip digits cost far more to find than to look up. The text is the
// library's own, so the file is the same either way.
class NumberTexts {
 public:
  NumberTexts() : slots_(kSlots) {}

  // Writes x at p (room for 64 characters); returns the end.
  char* Write(char* p, double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
    if (slot.length != 0 && slot.bits == bits) {
      std::memcpy(p, slot.text, sizeof slot.text);
      return p + slot.length;
    }
    char* end = nlohmann::detail::to_chars(p, p + 64, x);
    const auto length = static_cast<std::size_t>(end - p);
    if (length <= sizeof slot.text) {
      slot.bits = bits;
      slot.length = static_cast<std::uint8_t>(length);
      std::memcpy(slot.text, p, length);
    }
    return end;
  }

 private:
  static constexpr int kBits = 12;
  static constexpr std::size_t kSlots = std::size_t{1} << kBits;
  struct Slot {
    std::uint64_t bits = 0;
    std::uint8_t length = 0;  // 0: empty
    char text[31] = {};
  };
  std::vector<Slot> slots_;
};

class Writer {
 public:
  explicit Writer(TextBuffer& out) : out_(out) {}

  void Newline(int depth) {
    char* p = out_.Reserve(static_cast<std::size_t>(depth) + 1);
    *p++ = '\n';
    std::memset(p, ' ', static_cast<std::size_t>(depth));
    out_.Commit(p + depth);
  }

  void Raw(std::string_view text) {
    char* p = out_.Reserve(text.size());
    std::memcpy(p, text.data(), text.size());
    out_.Commit(p + text.size());
  }

  // A member's key: the start of a line of the object at depth - 1.
  void Key(int depth, std::string_view key, bool first = false) {
    char* p = out_.Reserve(static_cast<std::size_t>(depth) + key.size() + 6);
    if (!first) *p++ = ',';
    *p++ = '\n';
    std::memset(p, ' ', static_cast<std::size_t>(depth));
    p += depth;
    *p++ = '"';
    p = std::copy_n(key.data(), key.size(), p);
    out_.Commit(std::copy_n("\": ", 3, p));
  }

  // As the JSON library dumps text, invalid UTF-8 replaced.
  void Text(const std::string& s) {
    Raw(nlohmann::ordered_json(s).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  }

  // The JSON library's shortest form that reads back to the same double.
  void Number(double x) {
    char* p = out_.Reserve(64);
    out_.Commit(Number(p, x));
  }

  void Integer(std::int64_t v) {
    char* p = out_.Reserve(24);
    out_.Commit(std::to_chars(p, p + 24, v).ptr);
  }

  void Bool(bool b) { Raw(b ? std::string_view("true") : std::string_view("false")); }

  void Point(const Vec3& v) {
    char* p = out_.Reserve(3 * 64 + 8);
    *p++ = '[';
    p = Number(p, v.x);
    *p++ = ',';
    *p++ = ' ';
    p = Number(p, v.y);
    *p++ = ',';
    *p++ = ' ';
    p = Number(p, v.z);
    *p++ = ']';
    out_.Commit(p);
  }

  // An array of items at depth; empty arrays stay "[]".
  template <typename List, typename Item>
  void Array(const List& list, int depth, Item&& item) {
    Raw("[");
    bool first = true;
    for (const auto& e : list) {
      if (!first) Raw(",");
      first = false;
      Newline(depth + 1);
      item(e);
    }
    if (!first) Newline(depth);
    Raw("]");
  }

  void Points(const std::vector<Vec3>& list, int depth) {
    Array(list, depth, [&](const Vec3& v) { Point(v); });
  }

  void Polygon(const Body& b, const hostmodel::Polygon& p, int depth) {
    Raw("{");
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
    const TextureMapping& mapping = MappingOf(b, p);
    if (!(mapping == TextureMapping{})) {
      Key(depth + 1, "mapping");
      Raw("{");
      Key(depth + 2, "projection", true);
      Raw(ProjectionName(mapping.projection));
      Key(depth + 2, "origin");
      Point(mapping.origin);
      Key(depth + 2, "u");
      Point(mapping.uAxis);
      Key(depth + 2, "v");
      Point(mapping.vAxis);
      Newline(depth + 1);
      Raw("}");
    }
    Key(depth + 1, "pieces");
    Array(p.convexPieces, depth + 1, [&](ConvexPieces::Piece piece) {
      Raw("[");
      for (std::size_t i = 0; i < piece.size(); ++i) {
        if (i) Raw(", ");
        Integer(piece[i]);
      }
      Raw("]");
    });
    Newline(depth);
    Raw("}");
  }

  void Body(const hostmodel::Body& b, int depth) {
    Raw("{");
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
        char* p = out_.Reserve(2 * 64 + 4);
        *p++ = '[';
        p = Number(p, t.u);
        *p++ = ',';
        *p++ = ' ';
        p = Number(p, t.v);
        *p++ = ']';
        out_.Commit(p);
      });
    }
    Key(depth + 1, "polygons");
    Array(b.polygons, depth + 1, [&](const hostmodel::Polygon& p) { Polygon(b, p, depth + 2); });
    Newline(depth);
    Raw("}");
  }

  void Element(const hostmodel::Element& e, int depth) {
    Raw("{");
    Key(depth + 1, "guid", true);
    Text(e.guid.ToString());
    Key(depth + 1, "genId");
    Integer(e.genId);
    Key(depth + 1, "name");
    Text(e.name);
    Key(depth + 1, "bodies");
    Array(e.bodies, depth + 1, [&](const hostmodel::Body& b) { Body(b, depth + 2); });
    Newline(depth);
    Raw("}");
  }

 private:
  // Numbers that are not finite are written as null, as the library does.
  char* Number(char* p, double x) {
    if (!std::isfinite(x)) {
      return std::copy_n("null", 4, p);
    }
    return numbers_.Write(p, x);
  }

  static std::string_view ProjectionName(TextureProjection p) {
    switch (p) {
      case TextureProjection::Planar: return "\"planar\"";
      case TextureProjection::Vertex: return "\"vertex\"";
      case TextureProjection::Box:
      default: return "\"box\"";
    }
  }

  TextBuffer& out_;
  NumberTexts numbers_;
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
    std::vector<TextBuffer> parts(std::min(wave, runs - first));
    std::atomic<bool> exhausted{false};
    base::ParallelFor(parts.size(), [&](std::size_t k) {
      try {
        Writer w(parts[k]);
        for (std::size_t i = bounds[first + k]; i < bounds[first + k + 1]; ++i) {
          if (i) w.Raw(",");
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
      for (const TextBuffer& p : parts)
        if (!write(p.view())) return false;
      return true;
    });
  }
  if (written.valid() && !written.get()) return false;
  TextBuffer end;
  Writer(end).Newline(depth);
  Writer(end).Raw("]");
  return write(end.view());
}

void AppendElements(const Project& project, int depth, std::string& out) {
  WriteElements(project, depth, [&](std::string_view text) {
    out += text;
    return true;
  });
}

}  // namespace hostmodel::detail

// ---------------------------------------------------------------------------
// Reading

namespace hostmodel::detail {

std::string_view MemoryText::Read(std::uint64_t offset, std::size_t length, std::string&) const {
  if (offset >= text_.size()) return {};
  return text_.substr(static_cast<std::size_t>(offset), length);
}

std::string_view FileText::Read(std::uint64_t offset, std::size_t length, std::string& buffer) const {
  if (offset >= size_) return {};
  length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
  buffer.resize(length);
  std::size_t done = 0;
  while (done < length) {
    std::string error;
    const std::int64_t n = file_.ReadAt(offset + done, buffer.data() + done, length - done, &error);
    if (n < 0) throw TextReadError{std::move(error)};
    if (n == 0) throw TextReadError{};
    done += static_cast<std::size_t>(n);
  }
  return {buffer.data(), length};
}

namespace {

// The text is not what this reader takes; the tree reader reads it (and
// names the problem, if there is one).
struct Refused {};
// The window ends inside what is being read: read it again from its start
// in a larger or later window.
struct NeedMore {};
// A piece ends inside an element: the cut before the next piece was not
// between two elements.
struct CutShort {};

// A view of the text [base, base + size) that can move on or grow.
class Window {
 public:
  Window(const TextSource& text, std::uint64_t limit, std::size_t size) : text_(text), limit_(limit), size_(size) {}

  // Starts the window at `from`; starting again where it starts means what
  // is read did not fit, so the window grows.
  void Load(std::uint64_t from) {
    if (loaded_ && from == base_) size_ *= 2;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(size_, limit_ - from));
    view_ = text_.Read(from, length, buffer_);
    if (view_.size() != length) throw TextReadError{};
    base_ = from;
    loaded_ = true;
  }
  const char* At(std::uint64_t pos) const { return view_.data() + (pos - base_); }
  const char* End() const { return view_.data() + view_.size(); }
  std::uint64_t Offset(const char* p) const { return base_ + static_cast<std::uint64_t>(p - view_.data()); }
  // The window reaches the end of what may be read.
  bool Final() const { return base_ + view_.size() >= limit_; }
  bool Contains(std::uint64_t pos) const { return loaded_ && pos >= base_ && pos <= base_ + view_.size(); }

 private:
  const TextSource& text_;
  std::uint64_t limit_;
  std::size_t size_;
  std::string buffer_;
  std::string_view view_;
  std::uint64_t base_ = 0;
  bool loaded_ = false;
};

bool IsSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A strict JSON reader over one window: it takes exactly what the JSON
// library takes (RFC 8259, UTF-8 checked in strings) and reads values as
// the library's document tree would give them.
class Parser {
 public:
  // `final`: end is the end of what may be read; `cutEnd`: that end is a
  // cut between pieces rather than the end of the text.
  void Reset(const char* p, const char* end, bool final, bool cutEnd) {
    p_ = p;
    end_ = end;
    final_ = final;
    cutEnd_ = cutEnd;
  }
  const char* pos() const { return p_; }

  [[noreturn]] void AtEnd() const {
    if (!final_) throw NeedMore{};
    if (cutEnd_) throw CutShort{};
    throw Refused{};
  }

  // Skips white space; false when the window's end comes first.
  bool SkipSpaceTo() {
    while (p_ != end_ && IsSpace(*p_)) ++p_;
    return p_ != end_;
  }
  // The next character after white space, not taken.
  char Next() {
    if (!SkipSpaceTo()) AtEnd();
    return *p_;
  }
  void Expect(char c) {
    if (Next() != c) throw Refused{};
    ++p_;
  }
  // ',' or the closing character, taken; true for ','.
  bool Separator(char close) {
    const char c = Next();
    ++p_;
    if (c == ',') return true;
    if (c == close) return false;
    throw Refused{};
  }

  // The text of a JSON string, decoded. An escaped surrogate pair gives
  // one character; a lone surrogate, a control character or a byte that
  // is not well-formed UTF-8 is refused, as the library refuses them.
  void String(std::string& out) {
    if (Next() != '"') throw Refused{};
    ++p_;
    out.clear();
    for (;;) {
      const char* run = p_;
      while (p_ != end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p_;
      }
      out.append(run, p_);
      if (p_ == end_) AtEnd();
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return;
      }
      if (c < 0x20) throw Refused{};
      if (c == '\\') {
        Escape(out);
      } else {
        Utf8(out);
      }
    }
  }

  struct NumberText {
    const char* begin;
    const char* end;
    bool integer;  // no fraction, no exponent
    bool negative;
  };

  NumberText ScanNumber() {
    Next();
    NumberText t{p_, nullptr, true, false};
    if (*p_ == '-') {
      t.negative = true;
      ++p_;
    }
    if (Peek() == '0') {
      ++p_;
    } else if (IsDigit(*p_)) {
      Digits();
    } else {
      throw Refused{};
    }
    if (Peek() == '.') {
      ++p_;
      t.integer = false;
      if (!IsDigit(Peek())) throw Refused{};
      Digits();
    }
    if (Peek() == 'e' || *p_ == 'E') {
      ++p_;
      t.integer = false;
      if (Peek() == '+' || *p_ == '-') ++p_;
      if (!IsDigit(Peek())) throw Refused{};
      Digits();
    }
    t.end = p_;
    return t;
  }

  // A number as the tree gives it as a double: a number without fraction
  // or exponent is held as an integer there and converted (so "-0" is
  // +0.0), any other is read to the nearest double. Numbers beyond the
  // double range are refused.
  double Number() {
    Next();
    const char* begin = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    // The digits as one integer while they fit; how many there are, how
    // many of them follow the point, and the exponent.
    std::uint64_t m = 0;
    int digits = 0, fraction = 0;
    auto take = [&] {
      for (;;) {
        if (p_ == end_) AtEnd();
        const unsigned d = static_cast<unsigned>(*p_) - '0';
        if (d > 9) return;
        if (digits < 19) m = m * 10 + d;
        ++digits;
        ++p_;
      }
    };
    if (Peek() == '0') {
      ++p_;
      ++digits;
    } else if (IsDigit(*p_)) {
      take();
    } else {
      throw Refused{};
    }
    bool integer = true;
    if (Peek() == '.') {
      ++p_;
      integer = false;
      if (!IsDigit(Peek())) throw Refused{};
      const int before = digits;
      take();
      fraction = digits - before;
    }
    int exponent = 0;
    if (Peek() == 'e' || *p_ == 'E') {
      ++p_;
      integer = false;
      const bool down = Peek() == '-';
      if (*p_ == '+' || *p_ == '-') ++p_;
      if (!IsDigit(Peek())) throw Refused{};
      while (IsDigit(Peek())) {
        if (exponent < 100000) exponent = exponent * 10 + (*p_ - '0');
        ++p_;
      }
      if (down) exponent = -exponent;
    }
    if (integer && digits <= 18) {
      const auto v = static_cast<std::int64_t>(m);
      return static_cast<double>(negative ? -v : v);
    }
    // Digits that a double holds exactly, scaled by a power of ten that it
    // holds exactly: one rounding, so the nearest double, as the library's
    // reading gives it. Everything else is read by the full conversion.
    const int scale = exponent - fraction;
    if (!integer && digits <= 19 && m <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
      double d = static_cast<double>(m);
      d = scale < 0 ? d / kPowersOfTen[-scale] : d * kPowersOfTen[scale];
      return negative ? -d : d;
    }
    double d = 0;
    const auto r = std::from_chars(begin, p_, d);
    if (r.ec != std::errc() || r.ptr != p_ || !std::isfinite(d)) throw Refused{};
    return d;
  }

  // An integer in [lo, hi] written without fraction or exponent.
  std::int64_t Integer(std::int64_t lo, std::int64_t hi) {
    const NumberText t = ScanNumber();
    const std::size_t digits = static_cast<std::size_t>(t.end - t.begin) - (t.negative ? 1 : 0);
    if (!t.integer || digits > 18) throw Refused{};
    std::int64_t v = DigitsValue(t);
    if (t.negative) v = -v;
    if (v < lo || v > hi) throw Refused{};
    return v;
  }

  bool Bool() {
    const char c = Next();
    if (c == 't') {
      Word("true");
      return true;
    }
    if (c == 'f') {
      Word("false");
      return false;
    }
    throw Refused{};
  }

  // Any value, checked and passed over.
  void SkipValue(int depth) {
    if (depth > kMaxDepth) throw Refused{};
    const char c = Next();
    if (c == '{') {
      ++p_;
      if (Next() == '}') {
        ++p_;
        return;
      }
      do {
        String(skipped_);
        Expect(':');
        SkipValue(depth + 1);
      } while (Separator('}'));
    } else if (c == '[') {
      ++p_;
      if (Next() == ']') {
        ++p_;
        return;
      }
      do SkipValue(depth + 1);
      while (Separator(']'));
    } else if (c == '"') {
      String(skipped_);
    } else if (c == 't') {
      Word("true");
    } else if (c == 'f') {
      Word("false");
    } else if (c == 'n') {
      Word("null");
    } else {
      // Read, not just scanned: the library refuses a document with a
      // number beyond the double range anywhere in it.
      Number();
    }
  }

  // The members of an object, each handed to member(key) with the reader
  // at its value, which member reads or passes over.
  template <typename F>
  void Members(F&& member) {
    Expect('{');
    if (Next() == '}') {
      ++p_;
      return;
    }
    do {
      String(key_);
      Expect(':');
      member(std::string_view(key_));
    } while (Separator('}'));
  }

  // The items of an array, each read by item().
  template <typename F>
  void Items(F&& item) {
    Expect('[');
    if (Next() == ']') {
      ++p_;
      return;
    }
    do item();
    while (Separator(']'));
  }

  Element ReadElement() {
    Element e;
    unsigned seen = 0;
    Members([&](std::string_view key) {
      if (key == "guid") {
        Once(seen, 1);
        String(text_);
        const auto guid = Guid::Parse(text_);
        if (!guid) throw Refused{};
        e.guid = *guid;
      } else if (key == "genId") {
        Once(seen, 2);
        e.genId = static_cast<std::uint32_t>(Integer(0, UINT32_MAX));
      } else if (key == "name") {
        Once(seen, 4);
        String(e.name);
      } else if (key == "bodies") {
        Once(seen, 8);
        Items([&] { e.bodies.push_back(ReadBody()); });
      } else {
        SkipValue(1);
      }
    });
    if (!(seen & 1)) throw Refused{};
    return e;
  }

 private:
  static constexpr int kMaxDepth = 256;
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

  char Peek() {
    if (p_ == end_) AtEnd();
    return *p_;
  }
  void Digits() {
    while (IsDigit(Peek())) ++p_;
  }
  static std::int64_t DigitsValue(const NumberText& t) {
    std::int64_t v = 0;
    for (const char* q = t.begin + (t.negative ? 1 : 0); q != t.end; ++q) v = v * 10 + (*q - '0');
    return v;
  }
  void Word(std::string_view w) {
    for (char c : w) {
      if (Peek() != c) throw Refused{};
      ++p_;
    }
  }
  static void Once(unsigned& seen, unsigned bit) {
    // A repeated member: the tree keeps the last one; left to it.
    if (seen & bit) throw Refused{};
    seen |= bit;
  }

  unsigned Hex4() {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = Peek();
      ++p_;
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else throw Refused{};
    }
    return v;
  }

  void Escape(std::string& out) {
    ++p_;  // the backslash
    const char c = Peek();
    ++p_;
    switch (c) {
      case '"': out += '"'; return;
      case '\\': out += '\\'; return;
      case '/': out += '/'; return;
      case 'b': out += '\b'; return;
      case 'f': out += '\f'; return;
      case 'n': out += '\n'; return;
      case 'r': out += '\r'; return;
      case 't': out += '\t'; return;
      case 'u': break;
      default: throw Refused{};
    }
    unsigned cp = Hex4();
    if (cp >= 0xDC00 && cp <= 0xDFFF) throw Refused{};
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (Peek() != '\\') throw Refused{};
      ++p_;
      if (Peek() != 'u') throw Refused{};
      ++p_;
      const unsigned low = Hex4();
      if (low < 0xDC00 || low > 0xDFFF) throw Refused{};
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // One well-formed UTF-8 sequence (no overlong forms, no surrogates,
  // nothing beyond U+10FFFF), copied.
  void Utf8(std::string& out) {
    const auto lead = static_cast<unsigned char>(*p_);
    unsigned char lo = 0x80, hi = 0xBF;
    int follow = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      follow = 1;
    } else if (lead == 0xE0) {
      follow = 2;
      lo = 0xA0;
    } else if (lead == 0xED) {
      follow = 2;
      hi = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      follow = 2;
    } else if (lead == 0xF0) {
      follow = 3;
      lo = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      follow = 3;
    } else if (lead == 0xF4) {
      follow = 3;
      hi = 0x8F;
    } else {
      throw Refused{};
    }
    out += *p_++;
    for (int i = 0; i < follow; ++i) {
      const auto c = static_cast<unsigned char>(Peek());
      if (c < lo || c > hi) throw Refused{};
      lo = 0x80;
      hi = 0xBF;
      out += *p_++;
    }
  }

  Vec3 ReadVec3() {
    Expect('[');
    Vec3 v;
    v.x = Number();
    Expect(',');
    v.y = Number();
    Expect(',');
    v.z = Number();
    Expect(']');
    return v;
  }

  // A list of points into a vector of exactly their number (the scratch
  // list grows; the kept one does not carry the spare room).
  void ReadVec3List(std::vector<Vec3>& out) {
    points_.clear();
    Items([&] { points_.push_back(ReadVec3()); });
    out.assign(points_.begin(), points_.end());
  }

  Body ReadBody() {
    Body b;
    unsigned seen = 0;
    Members([&](std::string_view key) {
      if (key == "closed") {
        Once(seen, 1);
        b.closed = Bool();
      } else if (key == "vertices") {
        Once(seen, 2);
        ReadVec3List(b.vertices);
      } else if (key == "polygonNormals") {
        Once(seen, 4);
        ReadVec3List(b.polygonNormals);
      } else if (key == "vertexNormals") {
        Once(seen, 8);
        ReadVec3List(b.vertexNormals);
      } else if (key == "texCoords") {
        Once(seen, 16);
        uvs_.clear();
        Items([&] {
          Expect('[');
          Vec2 t;
          t.u = Number();
          Expect(',');
          t.v = Number();
          Expect(']');
          uvs_.push_back(t);
        });
        b.texCoords.assign(uvs_.begin(), uvs_.end());
      } else if (key == "polygons") {
        Once(seen, 32);
        polygons_.clear();
        mappings_.clear();
        Items([&] { polygons_.push_back(ReadPolygon()); });
        b.polygons.assign(std::make_move_iterator(polygons_.begin()), std::make_move_iterator(polygons_.end()));
        b.mappings.assign(mappings_.begin(), mappings_.end());
      } else {
        SkipValue(3);
      }
    });
    if ((seen & (2 | 4 | 32)) != (2 | 4 | 32)) throw Refused{};
    return b;
  }

  Polygon ReadPolygon() {
    Polygon poly;
    unsigned seen = 0;
    Members([&](std::string_view key) {
      if (key == "material") {
        Once(seen, 1);
        poly.materialIndex = static_cast<std::int32_t>(Integer(INT32_MIN, INT32_MAX));
      } else if (key == "normal") {
        Once(seen, 2);
        poly.normalIndex = static_cast<std::int32_t>(Integer(std::int64_t{INT32_MIN} + 1, INT32_MAX));
      } else if (key == "pieces") {
        Once(seen, 4);
        corners_.clear();
        ends_.clear();
        Items([&] {
          Items([&] { corners_.push_back(static_cast<std::int32_t>(Integer(INT32_MIN, INT32_MAX))); });
          ends_.push_back(static_cast<std::uint32_t>(corners_.size()));
        });
        poly.convexPieces.Assign(corners_, ends_);
      } else if (key == "texture") {
        Once(seen, 8);
        poly.textureIndex = static_cast<std::int32_t>(Integer(INT32_MIN, INT32_MAX));
      } else if (key == "invisible") {
        Once(seen, 16);
        poly.invisible = Bool();
      } else if (key == "curved") {
        Once(seen, 32);
        poly.curved = Bool();
      } else if (key == "mapping") {
        Once(seen, 64);
        TextureMapping mapping;
        ReadMapping(mapping);
        poly.mappingIndex = InternMapping(mappings_, mapping);
      } else {
        SkipValue(5);
      }
    });
    if ((seen & (1 | 2 | 4)) != (1 | 2 | 4)) throw Refused{};
    return poly;
  }

  void ReadMapping(TextureMapping& m) {
    unsigned seen = 0;
    Members([&](std::string_view key) {
      if (key == "projection") {
        Once(seen, 1);
        String(text_);
        if (text_ == "box") m.projection = TextureProjection::Box;
        else if (text_ == "planar") m.projection = TextureProjection::Planar;
        else if (text_ == "vertex") m.projection = TextureProjection::Vertex;
        else throw Refused{};
      } else if (key == "origin") {
        Once(seen, 2);
        m.origin = ReadVec3();
      } else if (key == "u") {
        Once(seen, 4);
        m.uAxis = ReadVec3();
      } else if (key == "v") {
        Once(seen, 8);
        m.vAxis = ReadVec3();
      } else {
        SkipValue(6);
      }
    });
  }

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  bool final_ = true;
  bool cutEnd_ = false;
  std::string key_, text_, skipped_;
  std::vector<Vec3> points_;
  std::vector<Vec2> uvs_;
  std::vector<Polygon> polygons_;
  std::vector<TextureMapping> mappings_;  // of the polygons being read
  std::vector<std::int32_t> corners_;     // one polygon's pieces, back to back
  std::vector<std::uint32_t> ends_;
};

// Reads a step from `pos` in the window, again from `pos` in a later or
// larger window when the window ends inside it; returns where it ended.
template <typename Step>
std::uint64_t Stepwise(Window& w, Parser& parser, std::uint64_t pos, bool cutEnd, Step&& step) {
  for (;;) {
    if (!w.Contains(pos)) w.Load(pos);
    try {
      parser.Reset(w.At(pos), w.End(), w.Final(), cutEnd);
      step();
      return w.Offset(parser.pos());
    } catch (const NeedMore&) {
      w.Load(pos);
    }
  }
}

struct PieceRead {
  enum Outcome { kNotRead, kCut, kArrayEnd, kCutShort, kRefused } outcome = kNotRead;
  std::vector<Element> elements;
  std::uint64_t end = 0;  // after the array's ']' for ArrayEnd
};

// Reads elements from `from` (the start of one) to `limit`: either up to
// the array's end, or, when limit is a cut, up to the cut, which must
// then follow a ',' between two elements.
PieceRead ReadPiece(const TextSource& text, std::uint64_t from, std::uint64_t limit, std::size_t window) {
  PieceRead r;
  const bool cutEnd = limit < text.size();
  Window w(text, limit, window);
  Parser parser;
  std::uint64_t pos = from;
  try {
    for (;;) {
      // At the cut after a ',': this piece is done.
      bool atCut = false;
      pos = Stepwise(w, parser, pos, false, [&] {
        if (!parser.SkipSpaceTo()) {
          if (!w.Final()) throw NeedMore{};
          if (!cutEnd) throw Refused{};
          atCut = true;
        }
      });
      if (atCut) {
        r.outcome = PieceRead::kCut;
        return r;
      }
      Element e;
      bool more = false;
      pos = Stepwise(w, parser, pos, cutEnd, [&] {
        e = parser.ReadElement();
        more = parser.Separator(']');
      });
      r.elements.push_back(std::move(e));
      if (!more) {
        r.outcome = PieceRead::kArrayEnd;
        r.end = pos;
        return r;
      }
    }
  } catch (const CutShort&) {
    r.outcome = PieceRead::kCutShort;
  } catch (const Refused&) {
    r.outcome = PieceRead::kRefused;
  }
  r.elements.clear();
  return r;
}

// Where to cut the elements array: before elements that start a line the
// way the first one does (a newline never occurs inside a JSON string, so
// such a line start is outside any string), about `pieceBytes` apart. A
// cut that is not between two elements is found out when the piece before
// it is read.
std::vector<std::uint64_t> Cuts(const TextSource& text, std::uint64_t first, std::string_view lineStart,
                                std::size_t pieceBytes) {
  std::vector<std::uint64_t> cuts{first};
  const std::uint64_t span = text.size() - first;
  const std::uint64_t pieces = std::min<std::uint64_t>(span / std::max<std::size_t>(pieceBytes, 1), 4096);
  std::string buffer;
  for (std::uint64_t k = 1; k < pieces; ++k) {
    const std::uint64_t near = first + span * k / pieces;
    if (near <= cuts.back()) continue;
    const std::size_t look = std::min<std::size_t>(std::max<std::size_t>(pieceBytes / 4, 4096), std::size_t{1} << 20);
    const std::string_view view = text.Read(near, look, buffer);
    const std::size_t at = view.find(lineStart);
    if (at == std::string_view::npos) continue;
    cuts.push_back(near + at + lineStart.size() - 1);
  }
  return cuts;
}

// The elements array from just after its '['.
void ReadElementsArray(const TextSource& text, std::uint64_t from, const ElementReading& tuning, DocumentParts& parts,
                       std::uint64_t& end) {
  // Where the first element starts, and how its line starts.
  Window w(text, text.size(), 4096);
  Parser parser;
  bool empty = false;
  std::uint64_t first = Stepwise(w, parser, from, false, [&] {
    if (parser.Next() == ']') empty = true;
  });
  if (empty) {
    end = first + 1;
    return;
  }
  std::string lineStart;
  {
    std::string buffer;
    const std::string_view space = text.Read(from, static_cast<std::size_t>(first - from + 1), buffer);
    const std::size_t nl = space.rfind('\n');
    if (nl != std::string_view::npos) lineStart = std::string(space.substr(nl));
  }
  std::vector<std::uint64_t> cuts{first};
  if (!lineStart.empty() && lineStart.back() == '{') cuts = Cuts(text, first, lineStart, tuning.pieceBytes);
  const std::size_t n = cuts.size();
  std::vector<PieceRead> reads(n);
  std::vector<TextReadError> readErrors;
  std::atomic<bool> failed{false}, exhausted{false};
  std::mutex errorsMutex;
  auto readPiece = [&](std::size_t k) {
    if (failed) return;
    try {
      reads[k] = ReadPiece(text, cuts[k], k + 1 < n ? cuts[k + 1] : text.size(), tuning.windowBytes);
    } catch (const TextReadError& e) {
      std::lock_guard<std::mutex> lock(errorsMutex);
      readErrors.push_back(e);
      failed = true;
    } catch (const std::bad_alloc&) {
      exhausted = true;
      failed = true;
    }
  };
  if (n == 1) readPiece(0);
  else base::ParallelFor(n, readPiece);
  if (exhausted) throw std::bad_alloc();
  if (!readErrors.empty()) throw readErrors.front();
  parts.pieces = n;
  // Each piece starts where the one before it ended, so each that read to
  // its cut proves the next one's start; from the first that did not, the
  // rest is read again in one piece.
  std::size_t good = 0;
  while (good + 1 < n && reads[good].outcome == PieceRead::kCut) ++good;
  PieceRead& last = reads[good];
  const bool lastEndsArray = good + 1 == n && last.outcome == PieceRead::kArrayEnd;
  if (!lastEndsArray) {
    // A piece that starts between two elements and finds a problem has
    // found a real one, whatever comes after it.
    if (last.outcome == PieceRead::kRefused) throw Refused{};
    last = ReadPiece(text, cuts[good], text.size(), tuning.windowBytes);
    if (last.outcome != PieceRead::kArrayEnd) throw Refused{};
    parts.piecesRedone = true;
  }
  std::size_t count = 0;
  for (std::size_t k = 0; k <= good; ++k) count += reads[k].elements.size();
  parts.elements.reserve(count);
  for (std::size_t k = 0; k <= good; ++k) {
    for (Element& e : reads[k].elements) parts.elements.push_back(std::move(e));
    std::vector<Element>().swap(reads[k].elements);
  }
  end = last.end;
}

}  // namespace

std::optional<DocumentParts> ReadDocumentParts(const TextSource& text, const ElementReading& tuning) {
  DocumentParts parts;
  Window w(text, text.size(), std::size_t{1} << 20);
  Parser parser;
  try {
    std::uint64_t pos = 0;
    {
      std::string buffer;
      const std::string_view head = text.Read(0, 3, buffer);
      // A byte order mark is passed over, as the JSON library does.
      if (!head.empty() && static_cast<unsigned char>(head[0]) == 0xEF) {
        if (head != "\xEF\xBB\xBF") return std::nullopt;
        pos = 3;
      }
    }
    bool more = false;
    pos = Stepwise(w, parser, pos, false, [&] {
      parser.Expect('{');
      more = parser.Next() != '}';
      if (!more) parser.Expect('}');
    });
    std::string key;
    while (more) {
      bool elements = false;
      std::uint64_t valueStart = 0;
      pos = Stepwise(w, parser, pos, false, [&] {
        parser.String(key);
        parser.Expect(':');
        const char c = parser.Next();
        valueStart = w.Offset(parser.pos());
        elements = key == "elements" && c == '[' && !parts.hasElements;
        if (elements) parser.Expect('[');
        else parser.SkipValue(1);
      });
      if (elements) {
        parts.hasElements = true;
        ReadElementsArray(text, pos, tuning, parts, pos);
      } else {
        std::string value;
        const std::string_view v = text.Read(valueStart, static_cast<std::size_t>(pos - valueStart), value);
        parts.members.emplace_back(key, std::string(v));
      }
      pos = Stepwise(w, parser, pos, false, [&] { more = parser.Separator('}'); });
    }
    // Nothing but white space may follow.
    for (;;) {
      if (!w.Contains(pos)) w.Load(pos);
      parser.Reset(w.At(pos), w.End(), w.Final(), false);
      if (parser.SkipSpaceTo()) return std::nullopt;
      if (w.Final()) break;
      pos = w.Offset(parser.pos());
      w.Load(pos);
    }
  } catch (const Refused&) {
    return std::nullopt;
  } catch (const CutShort&) {
    return std::nullopt;
  }
  return parts;
}

}  // namespace hostmodel::detail
