// The live-link benchmarks' model set-up: the building or the given file,
// read back through the host's own import so that the elements chosen and
// the triangles counted are the ones hostsim will link.
#include "bench_model.h"

#include <cstdio>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "building_generator.h"
#include "hostmodel/import.h"
#include "hostmodel/model.h"

namespace bench {

void ReadModelArgs(int argc, char** argv, ModelArgs* args,
                   const std::function<void(std::string_view flag, const char* value)>& other) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view a = argv[i];
    if (a == "--triangles") args->triangles = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--edits") args->edits = std::atoi(argv[i + 1]);
    else if (a == "--runs") args->runs = std::atoi(argv[i + 1]);
    else if (a == "--model") args->model = argv[i + 1];
    else if (other) other(a, argv[i + 1]);
  }
}

namespace {

// Imports the model to find what the benchmarks edit: the file's triangles
// and elements, and per material its triangles and smallest element.
bool SurveyModel(bool generated, BenchModel* model, std::string* error) {
  auto imported = hostmodel::ImportModel(model->obj);
  if (!imported.ok()) {
    *error = "import: " + imported.error();
    return false;
  }
  const hostmodel::Project& project = imported.value();
  // Per material, over its single-material elements: their triangles, and
  // the smallest of them (an edit of it is the material's cheapest change
  // for the host, so the time measured is the link's).
  std::map<std::int32_t, std::uint64_t> trianglesOf, smallestOf;
  std::map<std::int32_t, std::string> elementOf;
  std::uint64_t fileTriangles = 0;
  for (const auto& e : project.elements) {
    std::map<std::int32_t, std::uint64_t> own;
    for (const auto& b : e.bodies)
      for (const auto& p : b.polygons)
        for (const auto& piece : p.convexPieces)
          if (piece.size() >= 3) own[p.materialIndex] += piece.size() - 2, fileTriangles += piece.size() - 2;
    if (own.size() != 1) continue;  // one element, one material: the edit touches one surface
    const auto [mat, n] = *own.begin();
    trianglesOf[mat] += n;
    if (!elementOf.count(mat) || n < smallestOf[mat]) {
      elementOf[mat] = e.guid.ToString();
      smallestOf[mat] = n;
    }
  }
  if (!generated) {
    model->triangles = fileTriangles;
    model->elements = project.elements.size();
  }
  std::int32_t big = 0, small = 0;
  for (const auto& [mat, n] : trianglesOf) {
    if (big == 0 || n > trianglesOf[big]) big = mat;
    if (small == 0 || n < trianglesOf[small]) small = mat;
  }
  if (big == 0 || small == 0 || big == small) {
    *error = "the building has no single-material elements to edit";
    return false;
  }
  model->smallMaterial = small;
  model->bigMaterial = big;
  model->smallMaterialTriangles = trianglesOf[small];
  model->bigMaterialTriangles = trianglesOf[big];
  model->smallElement = elementOf[small];
  model->bigElement = elementOf[big];
  return true;
}

}  // namespace

void PrintModel(const BenchModel& model, const std::string& name) {
  std::printf(
      "%s: %llu triangles, %llu elements; small material %d (%llu triangles), big material %d "
      "(%llu triangles)\n",
      name.c_str(), static_cast<unsigned long long>(model.triangles), static_cast<unsigned long long>(model.elements),
      model.smallMaterial, static_cast<unsigned long long>(model.smallMaterialTriangles), model.bigMaterial,
      static_cast<unsigned long long>(model.bigMaterialTriangles));
}

bool SetUpModel(const ModelArgs& args, std::string_view stem, BenchModel* model, std::string* error) {
  std::error_code ec;
  model->dir = std::filesystem::temp_directory_path(ec) / (std::string(stem) + "-" + std::to_string(getpid()));
  if (ec || (!std::filesystem::create_directories(model->dir, ec) && ec)) {
    *error = "cannot make " + model->dir.string() + ": " + ec.message();
    return false;
  }
  const bool generated = args.model.empty();
  // hostsim gets the path in its script; absolute, it does not depend on
  // where hostsim runs.
  model->obj = generated ? (model->dir / "Office.obj").string() : std::filesystem::absolute(args.model).string();
  if (generated) {
    BuildingOptions options;
    options.triangles = args.triangles;
    BuildingSummary summary;
    if (!WriteBuilding(model->obj, options, &summary, error)) return false;
    model->triangles = summary.triangles;
    model->elements = summary.objects;
  }
  const bool surveyed = SurveyModel(generated, model, error);
  // The survey's import of a large model leaves gigabytes free in this
  // process's heap. Handed back, so that the processes measured next get
  // their memory as a user's would, not from a machine this benchmark
  // holds half full: on a virtual machine, pages the guest has not used
  // lately cost a fault in the hypervisor each, which doubled the link's
  // start at 10M triangles.
  ::malloc_trim(0);
  return surveyed;
}

}  // namespace bench
