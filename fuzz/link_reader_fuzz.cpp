// The renderer side's reader of a link (velmar's, and the exactness
// checks'): the first piece of the input is the control area a publisher
// left, the further pieces are its blocks 1, 2, ... under the creator id the
// area names. The snapshot of header, records and status text, the
// canonical form of the surfaces (geometry and texture blocks through the
// checked decoders), velmar's mirror of the scene, and the decoders on the
// raw pieces themselves.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "shared_bytes.h"
#include "isolation.h"
#include "livelink/block_decode.h"
#include "livelink/canonical_scene.h"
#include "livelink/link_reader.h"
#include "scene_mirror.h"

using namespace CorvantaAPI;

namespace {

// What a successful decode promises its callers, who index with it.
void CheckGeometry(const GeometryArrays& g) {
  const std::size_t vertices = g.positions.size() / 3;
  if (g.positions.size() != 3 * vertices || g.normals.size() != 3 * vertices || g.texCoords.size() != 2 * vertices)
    __builtin_trap();
  if (g.indices.size() % 3 != 0) __builtin_trap();
  for (std::uint32_t index : g.indices)
    if (index >= vertices) __builtin_trap();
  for (float p : g.positions)
    if (!std::isfinite(p)) __builtin_trap();
}

void CheckBitmap(const BitmapPixels& b) {
  if (b.width < 0 || b.height < 0 || b.width > kMaxBitmapSide || b.height > kMaxBitmapSide) __builtin_trap();
  if (b.rgba.size() != 4u * static_cast<std::size_t>(b.width) * static_cast<std::size_t>(b.height)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  livelink_test::Isolated();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto pieces = corv_fuzz::Pieces(data, size);
  const std::string_view area = pieces[0];
  std::uint32_t creatorPid = 0;
  if (area.size() >= offsetof(Header, creatorPid) + 4)
    std::memcpy(&creatorPid, area.data() + offsetof(Header, creatorPid), 4);

  // Each piece through the decoders as a block of exactly its size.
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pieces[i].data());
    std::string field, error;
    GeometryArrays geometry;
    if (DecodeGeometryBlock(bytes, pieces[i].size(), &geometry, &field, &error)) CheckGeometry(geometry);
    BitmapPixels pixels;
    if (DecodeBitmapBlock(bytes, pieces[i].size(), &pixels, &field, &error)) CheckBitmap(pixels);
  }

  const std::u16string name = corv_fuzz::Wide("C:\\Links\\fuzz-reader-" + std::to_string(::getpid()) + ".dae");
  corv_fuzz::SharedBytes mapping(MappingNameFor(name), area);
  std::vector<std::unique_ptr<corv_fuzz::SharedBytes>> blocks;
  for (std::size_t i = 1; i < pieces.size() && i <= 8; ++i)
    blocks.push_back(
        std::make_unique<corv_fuzz::SharedBytes>(BlockName(creatorPid, static_cast<std::uint32_t>(i)), pieces[i]));

  LiveConnection guest;
  if (guest.Open(name) != 0) return 0;
  LinkReader reader(guest);
  const LinkSnapshot snapshot = reader.Read();
  for (const RecordInfo& record : snapshot.records)
    if (record.slot >= guest.Area().slotCount()) __builtin_trap();
  reader.Read();  // again, with the status block already open
  const CanonicalScene scene = ReadCanonicalScene(guest, 0);
  for (const CanonicalSurface& surface : scene.surfaces)
    if (surface.slot >= guest.Area().slotCount()) __builtin_trap();
  DescribeDifferences(scene, CanonicalScene{}, "read", "empty");
  if (!(scene == scene)) __builtin_trap();
  velmar::SceneMirror mirror(guest);
  mirror.Update(0);
  mirror.Update(0);  // again: only what changed is read, here nothing
  mirror.TakeProblems();
  return 0;
}
