#include "material_library_guard.h"

#include <algorithm>
#include <array>
#include <string>

namespace hostmodel::detail {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// As assimp compares texture keywords: ASCII letters in either case.
bool StartsWithAnyCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != static_cast<unsigned char>(prefix[i])) return false;
  }
  return true;
}

}  // namespace

std::string UnsafeMaterialLibrary(std::string_view text) {
  // assimp ends a statement at a carriage return, a form feed or a NUL as
  // at a newline; the line told to the user counts newlines.
  static constexpr std::string_view kEnds("\n\r\f\0", 4);
  static constexpr std::array<std::string_view, 4> kTextures = {"map_", "bump", "disp", "norm"};
  std::size_t line = 1;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(kEnds);
    std::string_view statement = text.substr(0, end);
    const std::size_t at = line;
    if (end != std::string_view::npos && text[end] == '\n') ++line;
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::size_t start = statement.find_first_not_of(" \t");
    if (start == std::string_view::npos) continue;
    statement.remove_prefix(start);
    // assimp matches these keywords by their first letters, as here.
    if (StartsWith(statement, "newmtl")) return {};
    // A texture (its keyword in any case, as assimp compares it), or an
    // anisotropy ("a", which assimp takes by its first letter alone),
    // before any material.
    const bool texture = std::any_of(kTextures.begin(), kTextures.end(),
                                     [&](std::string_view keyword) { return StartsWithAnyCase(statement, keyword); });
    if (texture || StartsWith(statement, "a")) {
      const std::string_view keyword = statement.substr(0, statement.find_first_of(" \t"));
      return "line " + std::to_string(at) + ": " + std::string(keyword) + " before any newmtl";
    }
  }
  return {};
}

}  // namespace hostmodel::detail
