// The host stand-in's project file at a large model: saving (what `saveas`
// does, flushed to the disk) and opening (what `open` of a .pln does),
// each the median of several runs. Opening is set against the document
// tree reader (the whole file parsed into a JSON tree, then read), in the
// same run, and the two projects are compared: they must be equal. The
// cost of the flush to the disk and of the model's structural check
// (Validate, part of both save and open) are shown apart.
//
//   project_file_bench [--model FILE] [--triangles N] [--runs R] [--tree-runs T] [--folder DIR]
//
// FILE is an OBJ (or any model file the host opens) or a .pln; without
// one a generated building of N triangles is used. The tree reader takes
// several times the file's size in memory and about a minute and a half at
// 10M triangles: --tree-runs 0 leaves it out.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "building_generator.h"
#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "run_timing.h"

namespace {

using bench::Time;
using bench::Timing;

// Copies a file without flushing, then flushes it: how long the disk takes
// to take that many bytes, apart from making them.
bool TimeCopyAndFlush(const std::string& from, const std::string& to, Timing& copy, Timing& flush) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  bool ok = in >= 0 && out >= 0;
  if (ok)
    ok = Time(copy, [&] {
      std::vector<char> buffer(std::size_t{8} << 20);
      for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) return true;
        if (::write(out, buffer.data(), static_cast<std::size_t>(n)) != n) return false;
      }
    });
  if (ok) ok = Time(flush, [&] { return ::fsync(out) == 0; });
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
  std::remove(to.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"saving and opening a host project file at a large model"};
  std::string model, folder = std::filesystem::temp_directory_path().string();
  std::uint64_t triangles = 1'500'000;
  int runs = 3, treeRuns = 1;
  app.add_option("--model", model, "model file (OBJ and the like, or .pln); default: a generated building");
  app.add_option("--triangles", triangles, "size of the generated building (default 1500000)");
  app.add_option("--runs", runs, "runs of the save and of the open (default 3)")->check(CLI::Range(1, 100));
  app.add_option("--tree-runs", treeRuns, "runs of the tree reader, the baseline (default 1; 0: none)")
      ->check(CLI::Range(0, 100));
  app.add_option("--folder", folder, "where the project file is written (default: the temporary folder)");
  CLI11_PARSE(app, argc, argv);

  namespace fs = std::filesystem;
  const fs::path work = fs::path(folder) / ("project_file_bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  std::error_code ec;
  if (model.empty()) {
    bench::BuildingOptions options;
    options.triangles = triangles;
    std::string error;
    model = (work / "building.obj").string();
    if (!bench::WriteBuilding(model, options, nullptr, &error)) {
      std::fprintf(stderr, "project_file_bench: %s\n", error.c_str());
      return 1;
    }
  }
  hostmodel::Result<hostmodel::Project> opened = hostmodel::LoadAnyFile(model);
  if (!opened) {
    std::fprintf(stderr, "project_file_bench: %s\n", opened.error().c_str());
    return 1;
  }
  const hostmodel::Project project = std::move(opened).value();
  std::size_t polygons = 0;
  for (const auto& e : project.elements)
    for (const auto& b : e.bodies) polygons += b.polygons.size();
  std::printf("model: %s, %zu elements, %zu polygons\n", model.c_str(), project.elements.size(), polygons);

  const std::string pln = (work / "project.pln").string();
  Timing save, load, tree, validate, copy, flush;
  bool same = true;
  std::uintmax_t bytes = 0;
  for (int i = 0; i < runs; ++i) {
    if (!Time(save, [&] { return hostmodel::SaveProjectFile(project, pln).ok(); })) {
      std::fprintf(stderr, "project_file_bench: cannot save %s\n", pln.c_str());
      return 1;
    }
    bytes = fs::file_size(pln, ec);
    Time(validate, [&] { return hostmodel::Validate(project).empty(); });
  }
  TimeCopyAndFlush(pln, pln + ".copy", copy, flush);
  for (int i = 0; i < std::max(runs, treeRuns); ++i) {
    if (i < runs) {
      hostmodel::detail::ProjectReadReport report;
      hostmodel::Result<hostmodel::Project> r = hostmodel::Result<hostmodel::Project>::Fail("");
      Time(load, [&] {
        r = hostmodel::detail::LoadProjectFile(pln, {}, &report);
        return r.ok();
      });
      if (!r) {
        std::fprintf(stderr, "project_file_bench: %s\n", r.error().c_str());
        return 1;
      }
      if (report.treeRead) std::printf("note: the file was read through the tree\n");
      if (i == 0)
        std::printf("open: elements read in %zu pieces%s\n", report.pieces,
                    report.piecesRedone ? ", read again from a cut that fell wrongly" : "");
      if (i == 0) same = r.value() == project;
    }
    if (i < treeRuns) {
      hostmodel::Result<hostmodel::Project> t = hostmodel::Result<hostmodel::Project>::Fail("");
      Time(tree, [&] {
        std::ifstream in(pln, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        t = hostmodel::detail::ParseProjectTree(text, pln);
        return t.ok();
      });
      if (!t || !(t.value() == project)) same = false;
    }
  }
  fs::remove_all(work, ec);

  std::printf("project file: %.1f MB; runs: save %d, open %d, tree open %d\n", double(bytes) / 1e6, runs, runs,
              treeRuns);
  std::printf("%-26s %9s %9s\n", "median", "wall s", "cpu s");
  auto row = [](const char* what, const Timing& t, const char* note = "") {
    std::printf("%-26s %9.3f %9.3f   %s\n", what, t.MedianWall(), t.MedianCpu(), note);
  };
  row("save (flushed)", save);
  row("  of it: Validate", validate, "(the structural check before writing)");
  row("copy of the file", copy, "(the same bytes written again, not flushed)");
  row("flush of the copy", flush, "(fsync: what the disk takes)");
  row("open", load, "(includes Validate)");
  if (treeRuns > 0) {
    row("open through the tree", tree, "(the baseline)");
    std::printf("%-26s %9.3f %9.3f\n", "ratio open/tree", load.MedianWall() / tree.MedianWall(),
                load.MedianCpu() / tree.MedianCpu());
  }
  std::printf("projects read back: %s\n", same ? "equal to the saved one" : "DIFFERENT FROM THE SAVED ONE");
  return same ? 0 : 1;
}
