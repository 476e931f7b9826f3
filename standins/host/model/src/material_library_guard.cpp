#include "material_library_guard.h"

#include <string>

namespace hostmodel::detail {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::string UnsafeMaterialLibrary(std::string_view text) {
  std::size_t line = 0;
  while (!text.empty()) {
    ++line;
    const std::size_t end = text.find('\n');
    std::string_view statement = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::size_t start = statement.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) continue;
    statement.remove_prefix(start);
    // assimp matches these keywords by their first letters, as here.
    if (StartsWith(statement, "newmtl")) return {};
    for (std::string_view texture : {"map_", "bump", "disp", "norm"})
      if (StartsWith(statement, texture)) {
        const std::string_view keyword = statement.substr(0, statement.find_first_of(" \t\r"));
        return "line " + std::to_string(line) + ": " + std::string(keyword) + " before any newmtl";
      }
  }
  return {};
}

}  // namespace hostmodel::detail
