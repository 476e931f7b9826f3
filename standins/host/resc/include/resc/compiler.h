// Turns a resource source (JSON written by people, icons as PNG files or as
// drawing instructions) into the compiled image the host reads.
#pragma once

#include <string>

namespace resc {

struct CompileResult {
  bool ok = false;
  std::string error;  // "file: where: what"
  std::string image;  // compiled JSON image
};

// sourcePath names the file for messages and is the base of relative icon
// file names.
CompileResult Compile(const std::string& sourceText, const std::string& sourcePath);

// C++ source that defines the two exported symbols of embedded.h.
std::string EmbedAsCpp(const std::string& image);

}  // namespace resc
