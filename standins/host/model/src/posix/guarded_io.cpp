#include "guarded_io.h"

#include <assimp/MemoryIOWrapper.h>

#include <cstdint>
#include <memory>

#include "material_library_guard.h"

namespace hostmodel::detail {

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
