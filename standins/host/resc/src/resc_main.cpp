// corv_resc: compiles a module's resource source into C++ that embeds it,
// or into the image alone (a DLL carries it as a resource).
//   corv_resc SOURCE.json OUTPUT.cpp [--image OUTPUT.json]
//   corv_resc SOURCE.json --image OUTPUT.json
#include "resc/compiler.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

static bool WriteIfChanged(const std::string& path, const std::string& text) {
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream old;
      old << in.rdbuf();
      if (old.str() == text) return true;  // keeps the build from relinking
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out);
}

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts(
        "usage: corv_resc SOURCE.json OUTPUT.cpp [--image OUTPUT.json]\n"
        "       corv_resc SOURCE.json --image OUTPUT.json\n"
        "Checks a module's resource source, draws or loads its icons and writes C++\n"
        "that embeds the compiled image, and/or the image itself (see docs/resources.md).");
    return 0;
  }
  const bool imageOnly = argc == 4 && std::strcmp(argv[2], "--image") == 0;
  if (argc != 3 && !imageOnly && !(argc == 5 && std::strcmp(argv[3], "--image") == 0)) {
    std::fprintf(stderr,
                 "corv_resc: usage: corv_resc SOURCE.json OUTPUT.cpp [--image OUTPUT.json]\n"
                 "                 corv_resc SOURCE.json --image OUTPUT.json\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "corv_resc: cannot read %s\n", argv[1]);
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  auto result = resc::Compile(text.str(), argv[1]);
  if (!result.ok) {
    std::fprintf(stderr, "corv_resc: %s\n", result.error.c_str());
    return 1;
  }
  if (imageOnly) {
    if (WriteIfChanged(argv[3], result.image)) return 0;
    std::fprintf(stderr, "corv_resc: cannot write %s\n", argv[3]);
    return 1;
  }
  if (!WriteIfChanged(argv[2], resc::EmbedAsCpp(result.image))) {
    std::fprintf(stderr, "corv_resc: cannot write %s\n", argv[2]);
    return 1;
  }
  if (argc == 5 && !WriteIfChanged(argv[4], result.image)) {
    std::fprintf(stderr, "corv_resc: cannot write %s\n", argv[4]);
    return 1;
  }
  return 0;
}
