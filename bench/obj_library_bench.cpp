// The host stand-in's own OBJ reader over a library of OBJ files others
// made (a furniture library, say): the share of files it reads itself, why
// it leaves the others to assimp, whether every file it reads gives the
// same project as the import through assimp, and the time of both over the
// whole library.
//
//   obj_library_bench FOLDER [--limit N] [--list]
//
// Exits non-zero when a file read by the host's reader gives another
// project than assimp's import (or one opens where the other fails).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "hostmodel/import.h"

namespace {

namespace fs = std::filesystem;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A decline's reason without its line number, so that reasons group.
std::string Reason(const std::string& why) {
  const auto at = why.find(" (line ");
  std::string r = at == std::string::npos ? why : why.substr(0, at);
  if (r.rfind("line ", 0) == 0) r = "a line in a form left to assimp";
  return r;
}

// Where two projects first differ, for the report.
std::string FirstDifference(const hostmodel::Project& a, const hostmodel::Project& b) {
  if (a.materials != b.materials) return "materials";
  if (a.elements.size() != b.elements.size()) return "element count";
  for (std::size_t i = 0; i < a.elements.size(); ++i) {
    const hostmodel::Element& x = a.elements[i];
    const hostmodel::Element& y = b.elements[i];
    if (x.name != y.name) return "element " + std::to_string(i) + " name " + x.name + " vs " + y.name;
    for (std::size_t k = 0; k < x.bodies.size() && k < y.bodies.size(); ++k) {
      const hostmodel::Body& p = x.bodies[k];
      const hostmodel::Body& q = y.bodies[k];
      if (p.vertices.size() != q.vertices.size())
        return x.name + ": vertex count " + std::to_string(p.vertices.size()) + " vs " +
               std::to_string(q.vertices.size());
      if (p.vertices != q.vertices) return x.name + ": vertices";
      if (p.vertexNormals != q.vertexNormals) return x.name + ": vertex normals";
      if (p.texCoords != q.texCoords) return x.name + ": texture coordinates";
      if (!(p == q)) return x.name + ": polygons";
    }
    if (!(x == y)) return x.name + ": element data";
  }
  return a == b ? "" : "project data";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"the host's OBJ reader over a library of OBJ files, against assimp's import"};
  std::string folder;
  std::size_t limit = 0;
  bool list = false;
  app.add_option("folder", folder, "folder searched for .obj files")->required();
  app.add_option("--limit", limit, "read at most this many files (0: all)");
  app.add_flag("--list", list, "print each file's outcome");
  CLI11_PARSE(app, argc, argv);

  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file() && Lower(it->path().extension().string()) == ".obj") files.push_back(it->path().string());
  std::sort(files.begin(), files.end());
  if (limit && files.size() > limit) files.resize(limit);
  if (files.empty()) {
    std::fprintf(stderr, "obj_library_bench: no .obj files under %s\n", folder.c_str());
    return 1;
  }

  std::size_t taken = 0, same = 0, bothFail = 0, differ = 0;
  double hostSeconds = 0, assimpSeconds = 0, takenHost = 0, takenAssimp = 0;
  std::map<std::string, std::size_t> reasons;
  for (const std::string& file : files) {
    std::string fallback;
    hostmodel::ImportOptions direct;
    direct.objFallback = &fallback;
    auto t0 = std::chrono::steady_clock::now();
    auto viaHost = hostmodel::ImportModel(file, direct);
    const double h = Seconds(t0);
    hostmodel::ImportOptions plain;
    plain.directObj = false;
    t0 = std::chrono::steady_clock::now();
    auto viaAssimp = hostmodel::ImportModel(file, plain);
    const double a = Seconds(t0);
    hostSeconds += h;
    assimpSeconds += a;
    const char* outcome;
    if (fallback.empty()) {
      ++taken;
      takenHost += h;
      takenAssimp += a;
      if (viaHost.ok() && viaAssimp.ok() && viaHost.value() == viaAssimp.value()) {
        ++same;
        outcome = "read, same project";
      } else if (!viaHost.ok() && !viaAssimp.ok()) {
        ++bothFail;
        outcome = "read, both fail";
      } else {
        ++differ;
        outcome = "READ, DIFFERENT PROJECT";
        fallback = viaHost.ok() && viaAssimp.ok() ? FirstDifference(viaHost.value(), viaAssimp.value())
                                                  : (viaHost.ok() ? viaAssimp.error() : viaHost.error());
      }
    } else {
      ++reasons[Reason(fallback)];
      outcome = "left to assimp";
    }
    if (list || std::string(outcome) == "READ, DIFFERENT PROJECT")
      std::printf("%-24s %s%s%s\n", outcome, file.c_str(), fallback.empty() ? "" : ": ", fallback.c_str());
  }
  const double n = static_cast<double>(files.size());
  std::printf("files: %zu under %s\n", files.size(), folder.c_str());
  std::printf(
      "read by the host's reader: %zu (%.1f%%); same project as assimp's import: %zu; both fail: %zu; "
      "different: %zu\n",
      taken, 100.0 * double(taken) / n, same, bothFail, differ);
  std::printf("left to assimp: %zu (%.1f%%), by reason:\n", files.size() - taken,
              100.0 * double(files.size() - taken) / n);
  std::vector<std::pair<std::size_t, std::string>> byCount;
  for (const auto& [why, count] : reasons) byCount.emplace_back(count, why);
  std::sort(byCount.rbegin(), byCount.rend());
  for (const auto& [count, why] : byCount) std::printf("  %5zu  %s\n", count, why.c_str());
  std::printf(
      "open time over all files: host %.2f s, assimp %.2f s (ratio %.2f); over the files the host reads: "
      "host %.2f s, assimp %.2f s (ratio %.2f)\n",
      hostSeconds, assimpSeconds, hostSeconds / assimpSeconds, takenHost, takenAssimp,
      takenAssimp > 0 ? takenHost / takenAssimp : 0.0);
  return differ == 0 ? 0 : 2;
}
