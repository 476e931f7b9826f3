// Texture image files: PNG for transparent patterns and JPEG otherwise, in
// the texture folder beside the project; files the library wrote come and
// go with their records, the host's own files are never touched; the
// export's host paths and image copies; pixel maps that do not match their
// size.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf.h"
#include "material_test_host.h"
#include "scene/material_library.h"
#include "scene/texture_paths.h"
#include "util/files.h"
#include "util/text.h"

using namespace scene;
using namespace material_test;
namespace fs = std::filesystem;

namespace {

std::string Utf8(const std::u16string& s) { return base::ToUtf8(s); }

// A file's bytes, or its first `n`.
std::string Bytes(const std::u16string& path, std::size_t n = std::string::npos) {
  std::ifstream in(Utf8(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()).substr(0, n);
}

class TextureFilesTest : public HostFixture {
 protected:
  // 1 "Glass pane": transparent pattern; 2 "Brick": alpha, no pattern;
  // 3 "Stone": a texture with an image file of its own.
  void OpenHouse() {
    hostmodel::Project p;
    p.materials.push_back(MakeMaterial("Glass pane", 1));
    p.materials.push_back(MakeMaterial("Brick", 2));
    p.materials.push_back(MakeMaterial("Stone", 3));
    p.textures.push_back(MakeTexture("pane", 5, 4, true, true, 1));
    p.textures.push_back(MakeTexture("brick", 6, 3, true, false, 2));
    hostmodel::Texture stone = MakeTexture("stone", 4, 4, false, false, 3);
    stoneFile = temp.File("images/stone.png");
    fs::create_directories(temp.path() / "images");
    ASSERT_TRUE(hostmodel::WritePng(stone, stoneFile).ok());
    auto decoded = hostmodel::DecodeImageFile(stoneFile);
    ASSERT_TRUE(decoded.ok());
    hostmodel::Texture fromFile = decoded.value();
    fromFile.filePath = stoneFile;
    fromFile.xSize = 2.0;
    p.textures.push_back(fromFile);
    p.textures.push_back(MakeTexture("brick, cleaned", 2, 7, false, false, 4));
    textures = p.textures;
    Open(p);
  }
  std::string stoneFile;
  std::vector<hostmodel::Texture> textures;
};

}  // namespace

TEST_F(TextureFilesTest, PngForTransparentPatternsJpegOtherwiseHostFilesAsTheyAre) {
  OpenHouse();
  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  library.SetMemoryTextures(false);
  library.Refresh(1);
  EXPECT_EQ(library.TextureFolderName(), u"House_Textures");

  const MaterialRecord& pane = *library.ForAttributeIndex(1);
  EXPECT_TRUE(pane.textureFileOwned);
  EXPECT_TRUE(pane.textureChanged);
  EXPECT_NE(pane.textureStamp, 0u);
  EXPECT_EQ(Bytes(pane.texturePath, 4), "\x89PNG");
  auto png = hostmodel::DecodeImageFile(Utf8(pane.texturePath));
  ASSERT_TRUE(png.ok()) << png.error();
  EXPECT_EQ(png.value().width, 5);
  EXPECT_EQ(png.value().pixels, textures[0].pixels) << "32-bit PNG keeps every pixel and its alpha";

  const MaterialRecord& brick = *library.ForAttributeIndex(2);
  EXPECT_EQ(Bytes(brick.texturePath, 3), "\xFF\xD8\xFF");
  auto jpeg = hostmodel::DecodeImageFile(Utf8(brick.texturePath));
  ASSERT_TRUE(jpeg.ok()) << jpeg.error();
  EXPECT_EQ(jpeg.value().width, 6);
  EXPECT_EQ(jpeg.value().height, 3);
  for (std::size_t i = 0; i < jpeg.value().pixels.size(); i += 4) ASSERT_EQ(jpeg.value().pixels[i], 255);

  const MaterialRecord& stone = *library.ForAttributeIndex(3);
  EXPECT_EQ(stone.texturePath, U16(stoneFile));
  EXPECT_FALSE(stone.textureFileOwned);
  EXPECT_EQ(stone.textureStamp, util::GetFileTimeStamp(U16(stoneFile), 2));
  EXPECT_EQ(stone.textureIndex, 3);
  EXPECT_FLOAT_EQ(stone.textureWidth, 2.0f);
}

TEST_F(TextureFilesTest, WrittenFilesFollowTheirRecordsHostFilesStay) {
  OpenHouse();
  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  library.SetMemoryTextures(false);
  library.Refresh(1);
  const std::u16string panePath = library.ForAttributeIndex(1)->texturePath;
  const std::u16string brickPath = library.ForAttributeIndex(2)->texturePath;
  ASSERT_TRUE(util::FileExists(panePath));

  // A generated file deleted behind the library's back is written again at
  // the next load instead of being named while absent.
  fs::remove(Utf8(panePath));
  ASSERT_TRUE(host->SetMaterialColor(1, {0.1, 0.2, 0.3}).ok());
  library.Refresh(2);
  EXPECT_EQ(library.ForAttributeIndex(1)->texturePath, panePath);
  EXPECT_TRUE(util::FileExists(panePath));

  // Another image under the same file name replaces the file's content.
  ASSERT_TRUE(host->SetMaterialTexture(2, 4).ok());
  library.Refresh(3);
  EXPECT_EQ(library.ForAttributeIndex(2)->texturePath, brickPath);
  auto replaced = hostmodel::DecodeImageFile(Utf8(brickPath));
  ASSERT_TRUE(replaced.ok());
  EXPECT_EQ(replaced.value().width, 2);
  EXPECT_EQ(replaced.value().height, 7);

  // Removing a material deletes the file written for it, never the host's.
  ASSERT_TRUE(host->DeleteMaterial(1).ok());
  ASSERT_TRUE(host->DeleteMaterial(3).ok());
  EXPECT_EQ(library.Refresh(4), 2u);
  EXPECT_FALSE(util::FileExists(panePath));
  EXPECT_TRUE(util::FileExists(U16(stoneFile)));

  // The default material is never cleared.
  MaterialRecord& d = library.DefaultMaterial();
  d.texturePath = U16(stoneFile);
  d.textureFileOwned = true;
  library.ClearTexture(d);
  EXPECT_EQ(d.texturePath, U16(stoneFile));
  EXPECT_TRUE(util::FileExists(U16(stoneFile)));
  d.texturePath.clear();
  d.textureFileOwned = false;

  // The end of the run removes what is left of the library's files.
  library.Reset();
  EXPECT_FALSE(util::FileExists(brickPath));
  EXPECT_TRUE(util::FileExists(U16(stoneFile)));
}

// The export's images of generated textures beside the document are the
// export pipeline's golden test; here the host's own image file, copied.
TEST_F(TextureFilesTest, ExportTakesHostPathsAndCopiesHostImagesBesideTheDocument) {
  OpenHouse();
  fs::create_directories(temp.path() / "out");
  MaterialLibrary library;
  library.BeginExport(&model, U16(temp.File("out/Model.dae")));
  library.Refresh(1);
  MaterialRecord& pane = *library.ForAttributeIndex(1);
  MaterialRecord& stone = *library.ForAttributeIndex(3);
  EXPECT_TRUE(pane.texturePath.empty()) << "the host's path, even an empty one";
  EXPECT_EQ(pane.texturePixels, nullptr);
  EXPECT_EQ(stone.texturePath, U16(stoneFile));

  const std::u16string stoneImage = library.ExportImagePath(stone);
  EXPECT_EQ(stoneImage, u"Model_Textures/" + ImageFileName(stone.key, u"png"));
  const std::u16string copy = U16(temp.File("out/")) + stoneImage;
  EXPECT_EQ(Bytes(copy), Bytes(U16(stoneFile)));
  // Asking again copies nothing onto itself and keeps the image.
  EXPECT_EQ(library.ExportImagePath(stone), stoneImage);
  EXPECT_TRUE(util::FileExists(copy));
  EXPECT_TRUE(library.ExportImagePath(library.DefaultMaterial()).empty()) << "no texture, no image";
  // The exported images belong to the document, not to the library.
  library.Reset();
  EXPECT_TRUE(util::FileExists(copy));
  EXPECT_TRUE(util::FileExists(U16(stoneFile)));
}

TEST_F(TextureFilesTest, PixelMapsThatDoNotMatchTheirSizeGiveNoTexture) {
  OpenHouse();
  hostmodel::Project broken;
  hostmodel::Texture shortMap = MakeTexture("short", 4, 4, false, false, 9);
  shortMap.pixels.resize(4 * 12);  // 12 pixels for a 4 x 4 map
  broken.textures.push_back(shortMap);
  hostmodel::Texture other = MakeTexture("other", 3, 3, false, false, 10);
  other.pixels.resize(4 * 5);
  broken.textures.push_back(other);
  hostmodel::Texture noRepeat = MakeTexture("no repeat", 2, 2, false, false, 11);
  noRepeat.xSize = 0.0;
  noRepeat.ySize = std::nan("");
  broken.textures.push_back(noRepeat);
  UncheckedModel unchecked(broken);

  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  library.Refresh(1);
  const MaterialRecord* brick = library.ForAttributeIndex(2);
  host->ClearLog();
  MaterialRecord* memory = library.WithPolygonTexture(brick, unchecked.TextureAt(1));
  EXPECT_EQ(memory->texturePixels, nullptr);
  EXPECT_EQ(memory->textureBytes, 0u);
  EXPECT_TRUE(memory->texturePath.empty());

  library.SetMemoryTextures(false);
  MaterialRecord* file = library.WithPolygonTexture(brick, unchecked.TextureAt(2));
  EXPECT_TRUE(file->texturePath.empty());
  EXPECT_FALSE(fs::exists(Utf8(library.TextureFolder() + u"/" + ImageFileName(file->key, u"jpg"))));
  // Texture coordinates still get the repeat size.
  EXPECT_FLOAT_EQ(file->textureWidth, 2.0f);
  EXPECT_EQ(DebugLines().size(), 1u) << "the fault is reported once";

  // A repeat size of 0 or not a number repeats once per model unit.
  library.SetMemoryTextures(true);
  MaterialRecord* flat = library.WithPolygonTexture(brick, unchecked.TextureAt(3));
  EXPECT_NE(flat->texturePixels, nullptr);
  EXPECT_EQ(flat->textureWidth, 1.0f);
  EXPECT_EQ(flat->textureHeight, 1.0f);
}
