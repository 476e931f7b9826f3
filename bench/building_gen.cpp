// building_gen: writes a generated building of a given triangle count as
// OBJ + MTL with two textures, e.g.
//   building_gen --triangles 1500000 --out /tmp/tower/tower.obj
//   hostsim open /tmp/tower/tower.obj
#include <CLI/CLI.hpp>
#include <cstdio>

#include "building_generator.h"

int main(int argc, char** argv) {
  CLI::App app{"Writes a generated building (OBJ + MTL + textures) with an exact triangle count"};
  bench::BuildingOptions options;
  std::string out = "building/building.obj";
  app.add_option("-t,--triangles", options.triangles, "triangles to write (at least 2)")
      ->check(CLI::Range(std::uint64_t{2}, std::uint64_t{2'000'000'000}));
  app.add_option("-o,--out", out, "the OBJ file; the MTL and the images go beside it");
  app.add_option("--column-segments", options.columnSegments, "facets of a round column")->check(CLI::Range(3, 256));
  CLI11_PARSE(app, argc, argv);

  bench::BuildingSummary summary;
  std::string error;
  if (!bench::WriteBuilding(out, options, &summary, &error)) {
    std::fprintf(stderr, "building_gen: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %llu triangles, %llu vertices, %llu objects (%d floors, %d bays a side)\n", summary.objPath.c_str(),
              static_cast<unsigned long long>(summary.triangles), static_cast<unsigned long long>(summary.vertices),
              static_cast<unsigned long long>(summary.objects), summary.floors, summary.bays);
  return 0;
}
