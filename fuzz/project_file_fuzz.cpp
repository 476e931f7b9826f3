// The host stand-in's native project file, as a user opens any file with
// hostsim: the first piece of the input is project.pln, the second an image
// texture.png beside it that the project may reference. Reading gives a
// whole project or a message naming the file, never a partial project;
// the document tree reading every other one falls back to must agree with
// the streaming one on whether the file is valid.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "hostmodel/project_file.h"

namespace {

std::filesystem::path folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = corv_fuzz::ScratchFolder("pln");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto pieces = corv_fuzz::Pieces(data, size);
  const auto path = (folder / "project.pln").string();
  std::ofstream(path, std::ios::binary | std::ios::trunc) << pieces[0];
  const auto texture = folder / "texture.png";
  if (pieces.size() > 1) {
    std::ofstream(texture, std::ios::binary | std::ios::trunc) << pieces[1];
  } else {
    std::error_code ignored;
    std::filesystem::remove(texture, ignored);
  }
  const auto streamed = hostmodel::LoadProjectFile(path);
  if (!streamed.ok() && streamed.error().rfind(path, 0) != 0) __builtin_trap();  // the message starts with the file
  const auto tree = hostmodel::detail::ParseProjectTree(pieces[0], path);
  if (tree.ok() != streamed.ok()) __builtin_trap();  // the two readings disagree on the file
  return 0;
}
