#include "material_library_guard.h"

#include <assimp/MemoryIOWrapper.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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

Assimp::IOStream* GuardedIO::Open(const char* file, const char* mode) {
  if (file == nullptr || model_ == file) return Assimp::DefaultIOSystem::Open(file, mode);
  std::unique_ptr<Assimp::IOStream> stream(Assimp::DefaultIOSystem::Open(file, mode));
  if (!stream) return nullptr;
  const std::size_t size = stream->FileSize();
  auto bytes = std::make_unique<std::uint8_t[]>(size + 1);
  if (size > 0 && stream->Read(bytes.get(), 1, size) != size) return nullptr;
  const std::string why = UnsafeMaterialLibrary(std::string_view(reinterpret_cast<const char*>(bytes.get()), size));
  if (!why.empty()) {
    if (refused_.empty()) refused_ = std::string(file) + ": " + why;
    return nullptr;
  }
  return new Assimp::MemoryIOStream(bytes.release(), size, true);
}

}  // namespace hostmodel::detail
