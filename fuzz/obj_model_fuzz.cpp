// The host stand-in's model import of an OBJ file with its MTL library, as
// a user points hostsim at any file: the first piece of the input is
// model.obj, the second model.mtl, the third texture.png beside them. The
// import either gives a whole project or fails with a message that names
// the file; it never throws to its caller.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hostmodel/import.h"

namespace {

std::filesystem::path folder;

void Put(const char* name, const std::vector<std::string_view>& pieces, std::size_t index) {
  const auto path = folder / name;
  if (index < pieces.size()) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << pieces[index];
  } else {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = corv_fuzz::ScratchFolder("obj");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto pieces = corv_fuzz::Pieces(data, size);
  Put("model.obj", pieces, 0);
  Put("model.mtl", pieces, 1);
  Put("texture.png", pieces, 2);
  const std::string path = (folder / "model.obj").string();
  std::vector<std::string> warnings;
  std::string fallback;
  hostmodel::ImportOptions options;
  options.warnings = &warnings;
  options.objFallback = &fallback;
  const auto project = hostmodel::ImportModel(path, options);
  if (!project.ok() && project.error().find(path) == std::string::npos) __builtin_trap();  // a message without the file
  return 0;
}
