// The values file of a registry key: a small, strict JSON document with one
// value per line. Every writer rewrites the whole file, so parsing must be
// cheap; a dedicated parser for exactly this shape does it without building
// a document tree, and anything outside the shape counts as damage.
//
//   {
//     "format": "corvanta registry key 1",
//     "values": [
//       {"name": "OffsetType", "type": "REG_DWORD", "dword": 1},
//       {"name": "CustomOffset", "type": "REG_SZ", "text": "0.010000"},
//       {"name": "Raw", "type": "REG_SZ", "text": "abc", "terminated": false},
//       {"name": "Blob", "type": "REG_BINARY", "hex": "00ff10"}
//     ]
//   }
#include "base/utf.h"
#include "registry_store.h"

#include <unordered_set>

namespace platform::regstore {
namespace {

constexpr std::string_view kFormat = "corvanta registry key 1";

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    default: return nullptr;
  }
}

// ---- Writing ------------------------------------------------------------------

void PutString(std::string& out, std::u16string_view s) {
  // Callers pass only text without lone surrogates.
  std::string utf8 = base::ToUtf8Strict(s).value_or(std::string());
  out.push_back('"');
  for (char ch : utf8) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back("0123456789abcdef"[c >> 4]);
          out.push_back("0123456789abcdef"[c & 15]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

std::u16string UnitsOf(const std::vector<BYTE>& data) {
  std::u16string s(data.size() / 2, u'\0');
  for (std::size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  return s;
}

void PutValue(std::string& out, const Value& v) {
  out += "{\"name\": ";
  PutString(out, v.name);
  out += ", \"type\": ";
  if (const char* tn = TypeName(v.type)) {
    out.push_back('"');
    out += tn;
    out.push_back('"');
  } else {
    out += std::to_string(v.type);
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    std::uint32_t x = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<std::uint32_t>(v.data[3]) << 24);
    out += ", \"dword\": " + std::to_string(x) + "}";
    return;
  }
  if (v.type == REG_SZ && v.data.size() % 2 == 0) {
    // Kept readable; a value written without its terminating NUL keeps that
    // fact, because readers get back exactly the bytes written.
    std::u16string units = UnitsOf(v.data);
    bool terminated = !units.empty() && units.back() == u'\0';
    if (terminated) units.pop_back();
    if (base::ToUtf8Strict(units)) {
      out += ", \"text\": ";
      PutString(out, units);
      out += terminated ? "}" : ", \"terminated\": false}";
      return;
    }
  }
  out += ", \"hex\": \"";
  for (BYTE b : v.data) {
    out.push_back("0123456789abcdef"[b >> 4]);
    out.push_back("0123456789abcdef"[b & 15]);
  }
  out += "\"}";
}

// ---- Reading ------------------------------------------------------------------

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  bool Document(std::vector<Value>& out) {
    bool sawFormat = false;
    bool sawValues = false;
    if (!Object([&](std::string_view key) {
          if (key == "format" && !sawFormat) {
            sawFormat = true;
            std::u16string f;
            return String(f) && f == u"corvanta registry key 1";
          }
          if (key == "values" && !sawValues) {
            sawValues = true;
            return Array([&] {
              Value v;
              if (!ValueObject(v)) return false;
              out.push_back(std::move(v));
              return true;
            });
          }
          return false;
        })) {
      return false;
    }
    Space();
    return sawFormat && sawValues && pos_ == s_.size();
  }

 private:
  void Space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) {
      ++pos_;
    }
  }
  bool Take(char c) {
    Space();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Peek(char c) {
    Space();
    return pos_ < s_.size() && s_[pos_] == c;
  }

  // member(key) parses the member's value.
  template <typename Member>
  bool Object(Member member) {
    if (!Take('{')) return false;
    if (Take('}')) return true;
    do {
      std::u16string key;
      if (!String(key) || !Take(':')) return false;
      auto k = base::ToUtf8Strict(key);
      if (!k || !member(std::string_view(*k))) return false;
    } while (Take(','));
    return Take('}');
  }

  template <typename Element>
  bool Array(Element element) {
    if (!Take('[')) return false;
    if (Take(']')) return true;
    do {
      if (!element()) return false;
    } while (Take(','));
    return Take(']');
  }

  bool Hex4(std::uint32_t& u) {
    if (s_.size() - pos_ < 4) return false;
    u = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return false;
      u = u * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
  }

  // A JSON string straight into UTF-16; raw bytes must be valid UTF-8 and
  // escaped surrogates must pair up.
  bool String(std::u16string& out) {
    if (!Take('"')) return false;
    out.clear();
    std::size_t runStart = pos_;
    auto flush = [&](std::size_t end) {
      if (end == runStart) return true;
      auto run = base::FromUtf8Strict(s_.substr(runStart, end - runStart));
      if (!run) return false;
      out += *run;
      return true;
    };
    while (pos_ < s_.size()) {
      auto c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        if (!flush(pos_)) return false;
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        ++pos_;
        continue;
      }
      if (!flush(pos_)) return false;
      if (++pos_ >= s_.size()) return false;
      char e = s_[pos_++];
      switch (e) {
        case '"': out.push_back(u'"'); break;
        case '\\': out.push_back(u'\\'); break;
        case '/': out.push_back(u'/'); break;
        case 'b': out.push_back(u'\b'); break;
        case 'f': out.push_back(u'\f'); break;
        case 'n': out.push_back(u'\n'); break;
        case 'r': out.push_back(u'\r'); break;
        case 't': out.push_back(u'\t'); break;
        case 'u': {
          std::uint32_t u = 0;
          if (!Hex4(u)) return false;
          if (u >= 0xDC00 && u <= 0xDFFF) return false;
          if (u >= 0xD800 && u <= 0xDBFF) {
            std::uint32_t lo = 0;
            if (s_.substr(pos_, 2) != "\\u") return false;
            pos_ += 2;
            if (!Hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            out.push_back(static_cast<char16_t>(u));
            out.push_back(static_cast<char16_t>(lo));
          } else {
            out.push_back(static_cast<char16_t>(u));
          }
          break;
        }
        default: return false;
      }
      runStart = pos_;
    }
    return false;  // unterminated
  }

  bool Dword(std::uint32_t& out) {
    Space();
    std::size_t start = pos_;
    std::uint64_t v = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      v = v * 10 + static_cast<std::uint64_t>(s_[pos_++] - '0');
      if (v > 0xFFFFFFFFu) return false;
    }
    std::size_t n = pos_ - start;
    if (n == 0 || (n > 1 && s_[start] == '0')) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  bool Bool(bool& out) {
    Space();
    if (s_.substr(pos_, 4) == "true") {
      pos_ += 4;
      out = true;
      return true;
    }
    if (s_.substr(pos_, 5) == "false") {
      pos_ += 5;
      out = false;
      return true;
    }
    return false;
  }

  bool ValueObject(Value& v) {
    bool hasName = false, hasType = false, hasTerminated = false;
    bool terminated = true;
    int forms = 0;
    std::u16string text;
    bool isText = false;
    bool ok = Object([&](std::string_view key) {
      if (key == "name" && !hasName) {
        hasName = true;
        // A value name is what a Win32 call can pass, a string that ends at
        // its first NUL: one with a NUL inside was not written by the store,
        // and no caller could ask for it by name (the query would find
        // another value, or none).
        return String(v.name) && v.name.size() <= kMaxValueNameUnits && v.name.find(u'\0') == std::u16string::npos;
      }
      if (key == "type" && !hasType) {
        hasType = true;
        if (Peek('"')) {
          std::u16string t;
          if (!String(t)) return false;
          for (DWORD known : {REG_NONE, REG_SZ, REG_BINARY, REG_DWORD}) {
            auto name = base::FromUtf8Strict(TypeName(known));
            if (name && t == *name) {
              v.type = known;
              return true;
            }
          }
          return false;
        }
        return Dword(v.type);
      }
      if (key == "dword" && forms++ == 0) {
        std::uint32_t x = 0;
        if (!Dword(x)) return false;
        v.data = {static_cast<BYTE>(x), static_cast<BYTE>(x >> 8), static_cast<BYTE>(x >> 16),
                  static_cast<BYTE>(x >> 24)};
        return true;
      }
      if (key == "text" && forms++ == 0) {
        isText = true;
        return String(text);
      }
      if (key == "hex" && forms++ == 0) {
        std::u16string h;
        if (!String(h) || h.size() % 2 != 0) return false;
        v.data.resize(h.size() / 2);
        for (std::size_t i = 0; i < h.size(); ++i) {
          char16_t c = h[i];
          int d = (c >= u'0' && c <= u'9') ? c - u'0' : (c >= u'a' && c <= u'f') ? c - u'a' + 10 : -1;
          if (d < 0) return false;
          v.data[i / 2] = static_cast<BYTE>(i % 2 == 0 ? d << 4 : v.data[i / 2] | d);
        }
        return true;
      }
      if (key == "terminated" && !hasTerminated) {
        hasTerminated = true;
        return Bool(terminated);
      }
      return false;
    });
    if (!ok || !hasName || !hasType || forms != 1 || (hasTerminated && !isText)) return false;
    if (isText) {
      if (terminated) text.push_back(u'\0');
      v.data.resize(text.size() * 2);
      for (std::size_t i = 0; i < text.size(); ++i) {
        v.data[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        v.data[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
      }
    }
    return true;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string SerializeValues(const std::vector<Value>& values) {
  std::string text;
  text.reserve(64 + values.size() * 64);
  text += "{\n  \"format\": \"";
  text += kFormat;
  text += "\",\n  \"values\": [";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += i == 0 ? "\n    " : ",\n    ";
    PutValue(text, values[i]);
  }
  text += values.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return text;
}

bool ParseValues(std::string_view text, std::vector<Value>& out) {
  out.clear();
  std::vector<Value> values;
  if (!Parser(text).Document(values)) return false;
  // Two values whose names differ only in case cannot both be meant.
  std::unordered_set<std::u16string> folded;
  folded.reserve(values.size());
  for (const auto& v : values) {
    if (!folded.insert(FoldCase(v.name)).second) return false;
  }
  out = std::move(values);
  return true;
}

}  // namespace platform::regstore
