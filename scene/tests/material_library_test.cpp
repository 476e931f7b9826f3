// The material library over one real host project that holds every kind of
// material a renderer tells apart, published into a real control area and
// read back as a renderer reads it (the link's canonical form).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/utf.h"
#include "hostmodel/image.h"
#include "isolation.h"
#include "livelink/canonical_scene.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "scene/material_library.h"
#include "scene/surface_type.h"
#include "scene/texture_paths.h"
#include "test_host.h"
#include "util/files.h"
#include "util/text.h"

using namespace scene;
using namespace scene_test;
using CorvantaAPI::CanonicalMaterial;
using CorvantaAPI::CanonicalScene;
using CorvantaAPI::Record;
namespace fs = std::filesystem;

namespace {

// The House's materials by attribute index; Oak2 shares Oak's name.
enum : int {
  kBrick = 1,
  kWater,
  kWindow,
  kGlassBlock,
  kSteel,
  kClear,
  kEmpty,
  kLong,
  kTiles,
  kRender,
  kStone,
  kOak,
  kPine,
  kOak2,
  kTwin
};

std::uint64_t Synthetic(int n) { return std::uint64_t(-std::int64_t(n)); }  // -2, -3, ...

std::uint32_t Word(const Record* record, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(record) + at, 4);
  return v;
}

std::vector<std::uint8_t> FileBytes(const std::u16string& path) {
  std::ifstream in(base::ToUtf8(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The 64-bit FNV-1a digest the canonical form gives a texture, worked out
// from what the renderer should get: for a block the bitmap's size and its
// R,G,B,A pixels, for a file its bytes.
std::uint64_t Fnv(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t v = 0xcbf29ce484222325ull;
  for (std::uint8_t b : bytes) v = (v ^ b) * 0x100000001b3ull;
  return v | 1;
}
std::uint64_t PixelDigest(const hostmodel::Texture& t) {
  std::vector<std::uint8_t> bytes(8);
  std::memcpy(bytes.data(), &t.width, 4);
  std::memcpy(bytes.data() + 4, &t.height, 4);
  for (std::size_t i = 0; i < t.pixels.size(); i += 4)
    bytes.insert(bytes.end(), {t.pixels[i + 1], t.pixels[i + 2], t.pixels[i + 3],
                               std::uint8_t(t.transparentPattern ? t.pixels[i] : 255)});
  return Fnv(bytes);
}

// A width x height texture of distinct pixels (A, R, G, B; alpha 255
// without an alpha channel); seed varies the content and the fingerprint.
hostmodel::Texture MakeTexture(const std::string& name, int width, int height, bool alpha, bool pattern, int seed) {
  hostmodel::Texture t;
  t.name = name;
  t.width = width;
  t.height = height;
  for (std::size_t i = 0; i < std::size_t(width) * std::size_t(height); ++i)
    t.pixels.insert(t.pixels.end(), {std::uint8_t(alpha ? 40 + (i * 7) % 200 : 255), std::uint8_t(i * 3 + seed),
                                     std::uint8_t(i * 5 + 2 * seed), std::uint8_t(i * 11 + 3 * seed)});
  t.hasAlphaChannel = alpha;
  t.transparentPattern = pattern;
  t.fingerprint = hostmodel::PixelFingerprint(width, height, t.pixels);
  t.xSize = 2.0;
  t.ySize = 0.5;
  return t;
}

ModelerAPI::Texture TextureAt(const ModelerAPI::Model& model, int index) {
  ModelerAPI::Texture t;
  model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, index), &t);
  return t;
}

class MaterialTest : public HostFixture {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    HostFixture::SetUp();
    ASSERT_EQ(connection.Create(livelink_test::UniqueName("materials"), 64), CorvantaAPI::CreateResult::kOk);
    OpenHouse();
  }
  void TearDown() override {
    connection.Destroy();
    HostFixture::TearDown();
  }

  // Host values to scale, surface types, empty and overlong names, no
  // usable GUID. Textures: 1 tiles (transparent pattern), 2 render (alpha,
  // no pattern), 3 stone (host file), 4 and 5 used by no material.
  struct HostMaterial {
    std::string name;
    int transparency, shininess, attenuation, percentage;
    hostmodel::ColorRGB colour;
    int hostType, texture;
    std::int32_t shownType;
    std::u16string shownName;  // as the renderer reads it
  };
  const std::vector<HostMaterial> hostMaterials = {
      {"Brick/red", 30, 2500, 65535, 40, {1.0, 0.5, 0.0}, 0, 0, kSurfaceNone, u"Brick_red"},
      {"Pool water", 25, 4000, 13107, 80, {0.2, 0.4, 1.0}, 0, 0, kSurfaceWater, u"Pool water"},
      {"Window glass", 50, 0, 0, 0, {0, 0, 0}, 0, 0, kSurfaceGlass, u"Window glass"},
      {"Glass block", 0, 0, 0, 0, {0, 0, 0}, 0, 0, kSurfaceNone, u"Glass block"},   // an opaque glass name is no glass
      {"Steel", 0, 10000, 0, 100, {0.5, 0.5, 0.5}, 5, 0, kSurfaceGlass, u"Steel"},  // host type 5 is glass
      {"Clear", 100, 0, 0, 0, {1, 1, 1}, 0, 0, kSurfaceNone, u"Clear"},
      {"", 0, 0, 0, 0, {0, 0, 1}, 0, 0, kSurfaceNone, u""},
      {std::string(300, 'w'), 0, 0, 0, 0, {0, 1, 0}, 0, 0, kSurfaceNone, std::u16string(255, u'w')},  // the host gives
                                                                                                      // 255 bytes
      {"Tiles", 0, 0, 0, 0, {1, 0, 0}, 0, 1, kSurfaceNone, u"Tiles"},
      {"Render", 75, 0, 0, 0, {1, 0, 0}, 0, 2, kSurfaceNone, u"Render"},
      {"Stone", 0, 0, 0, 0, {1, 0, 0}, 0, 3, kSurfaceNone, u"Stone"},
      {"Oak", 0, 0, 0, 0, {0.5, 0.4, 0.2}, 0, 0, kSurfaceNone, u"Oak"},  // Oak2 shares its record
      {"Pine", 0, 0, 0, 0, {0.5, 0.4, 0.2}, 0, 0, kSurfaceNone, u"Pine"},
      {"Oak", 0, 0, 0, 0, {0.5, 0.4, 0.2}, 0, 0, kSurfaceNone, u"Oak"},
      {"Twin", 0, 0, 0, 0, {1, 1, 0}, 0, 0, kSurfaceNone, u"Twin"},
  };
  void OpenHouse() {
    hostmodel::Project& p = house;
    for (const HostMaterial& s : hostMaterials) {
      hostmodel::Material m = MakeMaterial(s.name, s.colour, s.texture);
      m.transparency = std::int16_t(s.transparency);
      m.shininess = std::int16_t(s.shininess);
      m.attenuation = std::uint16_t(s.attenuation);
      m.percentage = std::int16_t(s.percentage);
      m.materialType = std::int16_t(s.hostType);
      if (p.materials.size() + 1 >= kOak) m.headerFlags = 0;  // no GUID: keyed by name
      p.materials.push_back(m);
    }
    p.materials[kBrick - 1].secondColor = {0.2, 0.4, 0.6};
    // A GUID whose halves are equal would give key 0, the default material's.
    hostmodel::Guid& twin = p.materials[kTwin - 1].guid;
    for (int i = 0; i < 8; ++i) twin.bytes[8 + i] = twin.bytes[i];
    p.textures.push_back(MakeTexture("tiles", 5, 4, true, true, 1));  // a transparent pattern keeps its alpha
    p.textures.push_back(MakeTexture("render", 6, 3, true, false, 2));
    p.textures.push_back(MakeTexture("stone", 4, 4, false, false, 3));
    p.textures.back().filePath = stoneFile = temp.File("stone.png");
    ASSERT_TRUE(hostmodel::WritePng(p.textures.back(), stoneFile).ok());
    p.textures.push_back(MakeTexture("brick, cleaned", 2, 7, false, false, 4));
    p.textures.push_back(MakeTexture("large", 8, 8, true, true, 5));
    Open(p);
  }

  CorvantaAPI::LiveConnection connection;
  hostmodel::Project house;
  std::string stoneFile;
};

}  // namespace

// With memory textures, then on a new link with texture files: the default
// material before any walk (on the second link with a name too long for
// the record, which keeps its terminator); then every record as the
// renderer reads it against a hand-made table, and the records' keys.
TEST_F(MaterialTest, EveryKindOfMaterialAsTheRendererSeesIt) {
  MaterialLibrary library(&connection);
  for (bool files : {false, true}) {
    SCOPED_TRACE(files ? "texture files" : "memory textures");
    if (files) {
      connection.Destroy();
      ASSERT_EQ(connection.Create(livelink_test::UniqueName("materials"), 64), CorvantaAPI::CreateResult::kOk);
    }
    library.BeginLink(&model, U16(projectPath));
    library.SetMemoryTextures(!files);
    const std::u16string defaultName = files ? std::u16string(259, u'n') : u"Default material";
    if (files) library.DefaultMaterial().name = std::u16string(300, u'n');
    ASSERT_TRUE(library.HasPending());
    library.Publish();
    EXPECT_EQ(CorvantaAPI::ReadCanonicalScene(connection).firstSurface, defaultName);
    EXPECT_EQ(Word(library.DefaultMaterial().linkRecord, 544), 0u) << "nothing spills into the next field";
    library.Refresh(1);
    ASSERT_TRUE(library.HasPending());
    library.Publish();
    EXPECT_EQ(std::tuple(library.HasPending(), connection.TestFlags(CorvantaAPI::kFlagChanged)),
              std::tuple(false, CorvantaAPI::kFlagChanged));

    // Expected by the host's scales: shininess in ten thousandths,
    // transparency and percentage in hundredths, attenuation of 65535;
    // colour components times 255, cut to integers (white without alpha
    // under a texture).
    CanonicalScene expected;
    expected.surfaces.push_back({{defaultName, 0, 0xFFAAAAAAu, {0.5f, 1, 0, 0, 0, 0, 1, 0}, false, u"", 0}, {}});
    for (int index = 1; index <= int(hostMaterials.size()); ++index) {
      const HostMaterial& given = hostMaterials[std::size_t(index - 1)];
      if (index == kOak2) continue;
      CanonicalMaterial m;
      m.name = given.shownName;
      m.surfaceType = given.shownType;
      auto c = [](double v) { return std::uint32_t(v * 255); };
      m.colour = given.texture ? 0x00FFFFFFu
                               : 0xFF000000u | c(given.colour.r) << 16 | c(given.colour.g) << 8 | c(given.colour.b);
      m.floats = {0.5f, float(given.shininess) / 10000,      0,
                  0,    1 - float(given.transparency) / 100, float(given.attenuation) / 65535,
                  1,    float(given.percentage) / 100};
      m.textured = given.texture != 0;
      const MaterialRecord& r = *library.ForAttributeIndex(index);
      if (given.texture != 0) {
        const hostmodel::Texture& t = house.textures[std::size_t(given.texture - 1)];
        m.textureDigest = PixelDigest(t);
        if (files && !t.filePath.empty()) {
          m.texturePath = U16(stoneFile);  // the host's own file, as it is
          m.textureDigest = Fnv(FileBytes(m.texturePath));
          EXPECT_FALSE(r.textureFileOwned);
        } else if (files) {
          // PNG for a transparent pattern (every pixel and its alpha kept),
          // JPEG otherwise (opaque), in the folder beside the project.
          m.texturePath =
              U16(temp.File("House_Textures/")) + ImageFileName(r.key, t.transparentPattern ? u"png" : u"jpg");
          const std::vector<std::uint8_t> bytes = FileBytes(m.texturePath);
          m.textureDigest = Fnv(bytes);
          auto image = hostmodel::DecodeImageFile(base::ToUtf8(m.texturePath));
          ASSERT_TRUE(image.ok()) << image.error();
          const auto& px = image.value().pixels;
          EXPECT_EQ(std::pair(image.value().width, image.value().height), std::pair(t.width, t.height));
          EXPECT_TRUE(t.transparentPattern
                          ? px == t.pixels
                          : bytes.size() > 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF &&
                                std::all_of(px.begin(), px.end(),
                                            [&, i = 0](std::uint8_t a) mutable { return i++ % 4 || a == 255; }));
        }
        if (files) {
          EXPECT_EQ(Word(r.linkRecord, 856), std::uint32_t(util::GetFileTimeStamp(m.texturePath, 2)));
        }
      }
      expected.surfaces.push_back({m, {}});
    }
    // Keys: from the GUID's halves, else one per name; synthetic ones
    // restart at -2 at every link; GUID halves that cancel would give the
    // default material's key 0, so that material is keyed by name.
    std::uint64_t half[2];
    std::memcpy(half, house.materials[0].guid.bytes.data(), 16);
    auto key = [&](int index) { return library.ForAttributeIndex(index)->key; };
    EXPECT_EQ((std::vector{key(kBrick), key(kOak), key(kPine), key(kTwin)}),
              (std::vector{half[0] ^ half[1], Synthetic(2), Synthetic(3), Synthetic(4)}));
    EXPECT_EQ(std::tuple(library.ForAttributeIndex(kOak2), library.RecordCount()),
              std::tuple(library.ForAttributeIndex(kOak), 14u));
    CorvantaAPI::Canonicalize(expected);
    const CanonicalScene held = CorvantaAPI::ReadCanonicalScene(connection);
    for (const auto& problem : held.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(CorvantaAPI::DescribeDifferences(held, expected, "published", "expected"), "");
    EXPECT_EQ(held.firstSurface, defaultName);
    // Changed parameters and a texture state set (to none or to one), on
    // a record whose fixed trailer is intact.
    const Record* brick = library.ForAttributeIndex(kBrick)->linkRecord;
    EXPECT_EQ(std::tuple(Word(brick, 12), Word(brick, 20), Word(brick, 1388)), std::tuple(0x301u, 1u, 0xFFFFFFFFu));
  }
  // The second colour stays with the record (the export writes it).
  EXPECT_EQ(library.ForAttributeIndex(kBrick)->secondColour, 0xFF336699u);
}

// One link's walks: an unchanged stamp is not republished; a memory
// texture's block is replaced when outgrown, kept for a smaller texture and
// released with it; a removed material's record retires, its block goes.
TEST_F(MaterialTest, WalksRefillChangedStampsMoveTextureBlocksAndRetireRemovedOnes) {
  MaterialLibrary library(&connection);
  library.BeginLink(&model, U16(projectPath));
  auto walk = [&](std::uint64_t n) {
    const std::size_t removed = library.Refresh(n);
    library.Publish();
    return removed;
  };
  EXPECT_EQ(walk(1), 0u);
  MaterialRecord& tiles = *library.ForAttributeIndex(kTiles);
  MaterialRecord& water = *library.ForAttributeIndex(kWater);
  MaterialRecord& render = *library.ForAttributeIndex(kRender);
  Record *tilesRecord = tiles.linkRecord, *waterRecord = water.linkRecord;
  ASSERT_TRUE(tilesRecord && waterRecord && render.linkRecord);
  // The renderer takes the record. (That an edit republishes no other
  // material's record is the scene test's, read as the renderer reads it.)
  connection.ClearRecordFlags(waterRecord, 0xFFFFFFFFu);
  library.Refresh(2);
  EXPECT_FALSE(library.HasPending()) << "an unchanged stamp is not republished";
  ASSERT_TRUE(host->SetMaterialColor(kWater, {1.0, 0.0, 0.0}).ok());
  EXPECT_EQ(walk(3), 0u);
  // Changed parameters, the material change counter, the new colour.
  EXPECT_EQ(std::tuple(Word(waterRecord, 12) & 0x101u, Word(waterRecord, 20), Word(waterRecord, 804)),
            std::tuple(0x101u, 2u, 0xFFFF0000u));

  // Render's memory texture (6 x 3) in its block, whose id and size the
  // record names; a larger one (8 x 8) needs a new block and the old one is
  // released; a smaller one (2 x 7) fits the block it has.
  auto blockFields = [&] { return std::pair(Word(render.linkRecord, 1380), Word(render.linkRecord, 1384)); };
  const std::uint32_t first = render.textureBlockId, firstStamp = Word(render.linkRecord, 856);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(blockFields(), std::pair(first, 54u + 4 * 18));
  ASSERT_TRUE(host->SetMaterialTexture(kRender, 5).ok());
  walk(4);
  const std::uint32_t second = render.textureBlockId;
  EXPECT_EQ(std::tuple(second != first, connection.GetBlockSize(first), blockFields()),
            std::tuple(true, 0u, std::pair(second, 54u + 256u)));
  EXPECT_GT(Word(render.linkRecord, 856), firstStamp) << "every rebuilt memory texture counts as a change";
  EXPECT_EQ(Word(render.linkRecord, 12) & 0x200u, 0x200u);
  for (const auto& s : CorvantaAPI::ReadCanonicalScene(connection).surfaces)
    EXPECT_TRUE(s.material.name != u"Render" || s.material.textureDigest == PixelDigest(house.textures[4]));
  ASSERT_TRUE(host->SetMaterialTexture(kRender, 4).ok());
  walk(5);
  EXPECT_EQ(blockFields(), std::pair(second, 54u + 256u));
  // Without texture the block goes and the material's own colour returns.
  ASSERT_TRUE(host->SetMaterialTexture(kRender, 0).ok());
  walk(6);
  EXPECT_EQ(std::tuple(connection.GetBlockSize(second), blockFields(), Word(render.linkRecord, 856),
                       Word(render.linkRecord, 804)),
            std::tuple(0u, std::pair(0u, 0u), 0u, render.colour));

  // The removed material's geometry block is the scene's, told through the
  // listener (a block id scribbled by the renderer: the exactness test).
  const std::uint32_t texture = tiles.textureBlockId;
  const std::uint64_t tilesKey = tiles.key;
  ASSERT_NE(texture, 0u);
  using Event = MaterialLibrary::RecordEvent;
  std::vector<std::pair<std::uint64_t, Event>> heard;
  library.SetRecordListener([&](std::uint64_t key, Event event) { heard.emplace_back(key, event); });
  connection.ClearFlags(CorvantaAPI::kFlagChanged);
  connection.ClearRecordFlags(tilesRecord, 0xFFFFFFFFu);  // the renderer took it
  ASSERT_TRUE(host->DeleteMaterial(kTiles).ok());
  EXPECT_EQ(library.Refresh(7), 1u);
  EXPECT_EQ(heard, (std::vector<std::pair<std::uint64_t, Event>>{{tilesKey, Event::kRemoved}}));
  // Retired and flagged, its blocks named no more.
  EXPECT_EQ(std::tuple(Word(tilesRecord, 0), Word(tilesRecord, 12) & 1u, Word(tilesRecord, 1924),
                       Word(tilesRecord, 1928), Word(tilesRecord, 1380)),
            std::tuple(CorvantaAPI::kTypeRetiredSurface, 1u, 0u, 0u, 0u));
  EXPECT_EQ(std::tuple(connection.GetBlockSize(texture), connection.TestFlags(CorvantaAPI::kFlagChanged),
                       connection.CountRecords(CorvantaAPI::kTypeSurface, 0, 0), library.RecordCount()),
            std::tuple(0u, CorvantaAPI::kFlagChanged, 14u, 13u));
  // The removed key, the index whose read now fails, unknown indices and key
  // 0 give the default material; indices compare as signed 16-bit numbers.
  const MaterialRecord* d = &library.DefaultMaterial();
  EXPECT_EQ(std::tuple(library.Find(tilesKey), library.ForAttributeIndex(kTiles), library.ForAttributeIndex(-1),
                       library.Find(0)),
            std::tuple(d, d, d, d));
  EXPECT_EQ(library.ForAttributeIndex(kWater + 65536), &water);
  EXPECT_EQ(library.Refresh(8), 0u);
}

// A polygon's own texture makes a variant of its material, one per
// texture; a pixel map that does not match its size gives no texture.
TEST_F(MaterialTest, PolygonTexturesMakeUniquelyNamedVariants) {
  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  library.Refresh(1);
  const MaterialRecord* steel = library.ForAttributeIndex(kSteel);
  // Texture data no project file could carry (pixel maps shorter than their
  // size; repeat sizes 0 and not a number), on a model no host validated.
  hostmodel::Project foreign;
  for (int i = 0; i < 4; ++i)
    foreign.textures.push_back(MakeTexture("t" + std::to_string(i), 3 - i / 3, 3 + i % 2, false, false, 6 + i));
  foreign.textures[1].pixels.resize(4 * 3);  // 3 pixels for a 3 x 4 map
  foreign.textures[2].pixels.resize(4 * 5);
  foreign.textures[3].xSize = 0.0;
  foreign.textures[3].ySize = std::nan("");
  const HostModel unchecked(foreign);
  auto variant = [&](const ModelerAPI::Model& m, int texture) {
    return library.WithPolygonTexture(steel, TextureAt(m, texture));
  };
  host->ClearLog();
  MaterialRecord* v[6] = {variant(model, 4), variant(model, 5), variant(unchecked.Model(), 2),
                          nullptr,           nullptr,           nullptr};
  library.SetMemoryTextures(false);
  v[3] = variant(unchecked.Model(), 3);
  library.SetMemoryTextures(true);
  v[4] = variant(unchecked.Model(), 4);
  v[5] = variant(unchecked.Model(), 1);
  // Named Steel(n) in order, keyed after Oak, Pine and Twin, in Steel's
  // colour and type, with no path; the repeat size kept when the pixels are
  // refused, 1 for 0 or not a number.
  using Row = std::tuple<std::int32_t, float, float, bool>;  // texture index, repeat size, pixels
  const Row expected[6] = {{4, 2.0f, 0.5f, true},   {5, 2.0f, 0.5f, true},  {-1, 2.0f, 0.5f, false},
                           {-1, 2.0f, 0.5f, false}, {-1, 1.0f, 1.0f, true}, {-1, 2.0f, 0.5f, true}};
  for (int i = 0; i < 6; ++i) {
    const MaterialRecord& r = *v[i];
    EXPECT_EQ(Row(r.textureIndex, r.textureWidth, r.textureHeight, r.texturePixels != nullptr), expected[i]) << i;
    EXPECT_EQ(std::tuple(r.name, r.key, r.attrIndex, r.colour, r.surfaceType, r.texturePath.empty()),
              std::tuple(u"Steel(" + std::u16string(1, char16_t(u'1' + i)) + u")", Synthetic(5 + i), -1, 0xFF7F7F7Fu,
                         kSurfaceGlass, true))
        << i;
  }
  EXPECT_EQ(v[2]->textureBytes, 0u);
  EXPECT_FALSE(fs::exists(base::ToUtf8(library.TextureFolder() + u"/" + ImageFileName(v[3]->key, u"jpg"))));
  const auto log = host->LogEntries();  // the fault is reported once
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const auto& e) { return e.category == "debug"; }), 1);
  // One variant per texture, from the material or from another variant.
  EXPECT_EQ(std::tuple(library.WithPolygonTexture(steel, TextureAt(model, 4)),
                       library.WithPolygonTexture(v[1], TextureAt(model, 4))),
            std::tuple(v[0], v[0]));
  // Variants stay while the model has their texture; those whose texture
  // the model does not have go at the next walk.
  EXPECT_EQ(library.Refresh(2), 4u);
  EXPECT_EQ(library.Refresh(3), 0u);
  EXPECT_EQ(std::tuple(library.Find(Synthetic(10)), library.Find(v[0]->key), library.Find(v[1]->key)),
            std::tuple(&library.DefaultMaterial(), v[0], v[1]));
}

TEST_F(MaterialTest, WrittenFilesFollowTheirRecordsHostFilesStayExportsCopyThem) {
  // An export takes the host's paths and copies the host's own image file
  // beside the document (generated textures' images there are the export
  // pipeline's golden test).
  fs::create_directories(temp.path() / "out");
  MaterialLibrary exporting;
  exporting.BeginExport(&model, U16(temp.File("out/Model.dae")));
  exporting.Refresh(1);
  MaterialRecord& tiles = *exporting.ForAttributeIndex(kTiles);
  MaterialRecord& stone = *exporting.ForAttributeIndex(kStone);
  // The host's paths, even an empty one, and no pixels.
  EXPECT_EQ(std::tuple(tiles.texturePath, tiles.texturePixels == nullptr, stone.texturePath),
            std::tuple(u"", true, U16(stoneFile)));
  const std::u16string stoneImage = exporting.ExportImagePath(stone);
  EXPECT_EQ(stoneImage, u"Model_Textures/" + ImageFileName(stone.key, u"png"));
  const std::u16string copy = U16(temp.File("out/")) + stoneImage;
  EXPECT_EQ(FileBytes(copy), FileBytes(U16(stoneFile)));
  // Asking again copies nothing onto itself and keeps the image.
  EXPECT_EQ(exporting.ExportImagePath(stone), stoneImage);
  EXPECT_TRUE(util::FileExists(copy));
  EXPECT_TRUE(exporting.ExportImagePath(exporting.DefaultMaterial()).empty()) << "no texture, no image";
  // The exported images belong to the document, not to the library.
  exporting.Reset();
  EXPECT_TRUE(util::FileExists(copy) && util::FileExists(U16(stoneFile)));

  // A link's own texture files.
  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  library.SetMemoryTextures(false);
  library.Refresh(1);
  const std::u16string tilesPath = library.ForAttributeIndex(kTiles)->texturePath;
  const std::u16string renderPath = library.ForAttributeIndex(kRender)->texturePath;
  ASSERT_TRUE(util::FileExists(tilesPath));

  // A generated file deleted behind the library's back is written again at
  // the next load instead of being named while absent.
  fs::remove(base::ToUtf8(tilesPath));
  ASSERT_TRUE(host->SetMaterialColor(kTiles, {0.1, 0.2, 0.3}).ok());
  library.Refresh(2);
  EXPECT_TRUE(library.ForAttributeIndex(kTiles)->texturePath == tilesPath && util::FileExists(tilesPath));

  // Another image under the same file name replaces the file's content.
  ASSERT_TRUE(host->SetMaterialTexture(kRender, 4).ok());
  library.Refresh(3);
  EXPECT_EQ(library.ForAttributeIndex(kRender)->texturePath, renderPath);
  const auto replaced = hostmodel::DecodeImageFile(base::ToUtf8(renderPath));
  EXPECT_TRUE(replaced.ok() && replaced.value().width == 2 && replaced.value().height == 7);

  // Removing a material deletes the file written for it, never the host's.
  ASSERT_TRUE(host->DeleteMaterial(kTiles).ok());
  ASSERT_TRUE(host->DeleteMaterial(kStone).ok());
  EXPECT_EQ(library.Refresh(4), 2u);
  EXPECT_TRUE(!util::FileExists(tilesPath) && util::FileExists(U16(stoneFile)));

  // The default material is never cleared.
  MaterialRecord& d = library.DefaultMaterial();
  std::tie(d.texturePath, d.textureFileOwned) = std::tuple(U16(stoneFile), true);
  library.ClearTexture(d);
  EXPECT_TRUE(d.texturePath == U16(stoneFile) && util::FileExists(U16(stoneFile)));
  std::tie(d.texturePath, d.textureFileOwned) = std::tuple(u"", false);

  // The end of the run removes what is left of the library's files.
  library.Reset();
  EXPECT_TRUE(!util::FileExists(renderPath) && util::FileExists(U16(stoneFile)));
}
