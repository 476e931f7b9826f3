// The set-up the live-link benchmarks (link_bench, live_bench) share: their
// model flags, the model hostsim links (a generated building, or an OBJ file
// another tool wrote), the two elements their edits move, and the median /
// percentile summary of their timings. The functions here print nothing and
// never exit: on failure they return false with a message, which the program
// prints after its own name before it exits non-zero.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// The flags both programs take; the program sets its own defaults first.
struct ModelArgs {
  std::uint64_t triangles = 1'500'000;  // --triangles: the generated building's size
  int edits = 0;                        // --edits: one-element edits per run
  int runs = 1;                         // --runs: hostsim sessions, each with the start and the edits
  std::string model;                    // --model: an OBJ file to link instead, as given
};

// Reads argv's "--flag value" pairs: --triangles, --edits, --runs and --model
// into *args, any other flag to other(flag, value) when given. Unknown flags
// without a handler, and a last flag without its value, are ignored (the
// programs have always run on their defaults then), so this cannot fail.
void ReadModelArgs(int argc, char** argv, ModelArgs* args,
                   const std::function<void(std::string_view flag, const char* value)>& other = nullptr);

// The model a run links and what its edits touch. An edit moves a whole
// element; only elements of one material are chosen, so that an edit changes
// exactly one material's geometry.
struct BenchModel {
  std::filesystem::path dir;    // this run's folder: the building, hostsim's script and project
  std::string obj;              // the OBJ file hostsim opens (absolute)
  std::uint64_t triangles = 0;  // the model's triangles: what velmar holds once the start is read
  std::uint64_t elements = 0;   // host elements ("o" objects)
  // The single-material elements' material with fewest triangles and the one
  // with most, their triangles, and the smallest element (its GUID) of each.
  std::int32_t smallMaterial = 0, bigMaterial = 0;
  std::uint64_t smallMaterialTriangles = 0, bigMaterialTriangles = 0;
  std::string smallElement, bigElement;
};

// Prints the model's line of a report: its name, triangles, elements and
// the small and big materials the edits go to.
void PrintModel(const BenchModel& model, const std::string& name);

// Makes the run's folder, <temp>/<stem>-<pid> (the program removes it when
// done); writes the generated building of args.triangles into it as
// Office.obj (with its MTL and images), or takes args.model when set;
// imports it as the host does; counts its triangles and elements and chooses
// the two elements. False with *error when the folder cannot be made or the
// building cannot be written (the generator's message),
// the file cannot be imported ("import: ..."), or the model has no two
// materials with single-material elements to edit.
bool SetUpModel(const ModelArgs& args, std::string_view stem, BenchModel* model, std::string* error);

// A timing series' summary, in the series' unit; all zero when it is empty.
struct Stats {
  double median = 0, p95 = 0, p99 = 0, max = 0;
};

// The nearest-rank percentiles of v (rounded to the closest sample).
inline Stats Summarise(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, std::size_t(q * double(v.size() - 1) + 0.5))]; };
  s.median = at(0.5);
  s.p95 = at(0.95);
  s.p99 = at(0.99);
  s.max = v.back();
  return s;
}

}  // namespace bench
