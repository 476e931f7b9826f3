// velmar's read of a large surface whose counts changed (an element of the
// biggest material removed, added or given another material): the block is
// compared from both ends, its unchanged front and back kept in place and
// the part between read, or, where little is unchanged, read whole. Timed
// in process, without the link around it: the read (HeldGeometry::Read,
// with the pieces' summaries) and the digest (a sum over the pieces).
//
// The surface is made of many small meshes laid out as a publisher merges
// them (each mesh's vertices, then its triangles over them): boxes of 24
// vertices and 12 triangles at scattered places. The link benchmark
// (link_bench --big-edit material) times the same read on real models,
// between processes.
//
//   velmar_read_bench [--triangles N] [--runs R]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "geometry_block.h"
#include "livelink/layout.h"
#include "run_timing.h"
#include "scene.h"
#include "surface_digest.h"

namespace {

// A block of `boxes` boxes, box k at a place of its own, without the boxes
// numbered in `left` (the counts change).
std::vector<std::uint8_t> BoxesBlock(std::size_t boxes, const std::vector<std::size_t>& left) {
  const std::size_t kept = boxes - left.size();
  const std::uint32_t v = static_cast<std::uint32_t>(24 * kept), n = static_cast<std::uint32_t>(36 * kept);
  const auto layout = CorvantaAPI::GeometryLayout(v, n, 1);
  std::vector<std::uint8_t> block(layout.totalBytes);
  const CorvantaAPI::GeometryBlockHeader header{v, n, 1};
  std::memcpy(block.data(), &header, sizeof header);
  auto* positions = reinterpret_cast<float*>(block.data() + layout.positions);
  auto* normals = reinterpret_cast<float*>(block.data() + layout.normals);
  auto* texCoords = reinterpret_cast<float*>(block.data() + layout.texCoords);
  auto* indices = reinterpret_cast<std::uint32_t*>(block.data() + layout.indices);
  std::size_t vertex = 0, index = 0;
  for (std::size_t k = 0; k < boxes; ++k) {
    if (std::find(left.begin(), left.end(), k) != left.end()) continue;
    const float x = float(k % 997) * 3.0f, z = float(k / 997) * 3.0f, y = float(k % 7);
    for (int face = 0; face < 6; ++face) {
      const int axis = face / 2;
      const float side = face % 2 ? 1.0f : 0.0f;
      for (int c = 0; c < 4; ++c) {
        float p[3];
        p[axis] = side;
        p[(axis + 1) % 3] = float(c & 1);
        p[(axis + 2) % 3] = float(c >> 1);
        float* out = positions + 3 * (vertex + 4 * face + c);
        out[0] = x + p[0], out[1] = y + p[1], out[2] = z + p[2];
        float* nm = normals + 3 * (vertex + 4 * face + c);
        nm[0] = nm[1] = nm[2] = 0;
        nm[axis] = side ? 1.0f : -1.0f;
        texCoords[2 * (vertex + 4 * face + c)] = 0.0f;
        texCoords[2 * (vertex + 4 * face + c) + 1] = 1.0f;
      }
      const std::uint32_t b = static_cast<std::uint32_t>(vertex + 4 * face);
      for (std::uint32_t i : {b, b + 1, b + 3, b, b + 3, b + 2}) indices[index++] = i;
    }
    vertex += 24;
  }
  return block;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velmar's read of a large surface whose counts changed"};
  std::size_t triangles = 8'467'200, runs = 7;
  app.add_option("--triangles", triangles, "the surface's triangles (about)");
  app.add_option("--runs", runs, "reads timed per case, each of a block whose counts changed");
  CLI11_PARSE(app, argc, argv);

  const std::size_t boxes = std::max<std::size_t>(triangles / 12, 4);
  const std::vector<std::uint8_t> whole = BoxesBlock(boxes, {});
  std::printf("surface: %zu boxes, %zu triangles, %zu vertices, block %.1f MB\n", boxes, 12 * boxes, 24 * boxes,
              double(whole.size()) / 1e6);
  // Each case alternates the whole surface with one that lacks some boxes.
  struct Case {
    const char* name;
    std::vector<std::size_t> left;
  };
  const Case cases[] = {{"a box in the middle gone", {boxes / 2}},
                        {"the first box gone (all moves)", {0}},
                        {"the first and last gone (read whole)", {0, boxes - 1}}};
  bool failed = false;
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> blocks[2] = {whole, BoxesBlock(boxes, c.left)};
    velmar::HeldGeometry held;
    bench::Timing read, digest;
    std::uint64_t digests[2] = {0, 0};
    for (std::size_t r = 0; r < runs + 2; ++r) {
      const std::vector<std::uint8_t>& block = blocks[r % 2];
      bool changed = false;
      std::string field, error;
      std::size_t repaired = 0;
      const bool ok =
          bench::Time(read, [&] { return held.Read(block.data(), block.size(), &changed, &field, &error, &repaired); });
      std::uint64_t d = 0;
      bench::Time(digest, [&] {
        d = velmar::GeometryDigest(held.current().get());
        return true;
      });
      // The same state read again must give the same digest.
      if (!ok || !changed || (r >= 2 && d != digests[r % 2])) {
        std::fprintf(stderr, "velmar_read_bench: %s: the block was not taken as before (%s: %s)\n", c.name,
                     field.c_str(), error.c_str());
        failed = true;
        break;
      }
      digests[r % 2] = d;
    }
    // The first two reads are into fresh memory: left out.
    for (bench::Timing* t : {&read, &digest}) {
      t->wall.erase(t->wall.begin(), t->wall.begin() + 2);
      t->cpu.erase(t->cpu.begin(), t->cpu.begin() + 2);
    }
    std::printf("%-38s read median %6.1f ms wall, %6.1f ms CPU; digest %5.1f ms; %zu reads\n", c.name,
                1e3 * read.MedianWall(), 1e3 * read.MedianCpu(), 1e3 * digest.MedianWall(), read.wall.size());
  }
  return failed ? 1 : 0;
}
