// The SDK library as the host and an add-on use it: a separate module
// (corv_hostsdk.dll on Windows, a shared object on Linux) that reads a model
// the program made, calls back into the program's observers, and writes
// image files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "hostmodel/image.h"
#include "hostmodel/sample.h"
#include "hostsdk/image.h"
#include "hostsdk/modeler.h"
#include "hostsdk/sight.h"
#include "test_temp_dir.h"

namespace {

using testsupport::TempDir;

// The program makes the model and hands it over; the library's reader
// gives it back element by element, texture pixels and all. The model's
// memory is then freed by whichever module lets go of it last.
TEST(HostSdkLibrary, ReadsAModelTheProgramMade) {
  auto project = std::make_shared<hostmodel::Project>(hostmodel::SampleBuilding());
  const hostmodel::Project expected = *project;
  auto model3D = std::make_shared<Modeler::Model3D>(std::move(project));
  ModelerAPI::Model model;
  AttributeReader reader;
  ASSERT_EQ(EXPGetModel(model3D, &model, &reader), NoError);
  model3D.reset();  // the view keeps it
  ASSERT_EQ(model.GetElementNum(), static_cast<Int32>(expected.elements.size()));
  ASSERT_EQ(model.GetTextureNum(), static_cast<Int32>(expected.textures.size()));
  ModelerAPI::Texture texture;
  model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, 1), &texture);
  ASSERT_FALSE(texture.IsInvalid());
  std::vector<std::uint8_t> pixels(std::size_t(texture.GetPixelMapSize()) * 4);
  ASSERT_TRUE(texture.GetPixelMap(pixels.data(), pixels.size()));
  EXPECT_EQ(pixels, expected.textures[0].pixels);
  EXPECT_FALSE(texture.GetPixelMap(pixels.data(), pixels.size() - 1)) << "a short buffer is refused";
  ModelerAPI::Material material;
  model.GetMaterial(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::MaterialIndex, 1), &material);
  ASSERT_FALSE(material.IsInvalid());
  EXPECT_EQ(material.GetName().ToUtf8(), expected.materials[0].name);
}

// An observer the program defines (its vtable in the program, its base's
// in the library) hears what the library's model tells, and that the model
// went away.
class Recorder : public Modeler::IModel3DObserver {
 public:
  void ModelChanged(const Modeler::Model3D&) override { ++changed; }
  void ElementsChanged(const Modeler::Model3D&, const std::vector<API_Guid>& elements) override {
    changedElements += elements.size();
  }
  void RebuildStarted(const Modeler::Model3D&) override { ++rebuilds; }
  void RebuildFinished(const Modeler::Model3D&) override { ++rebuilds; }
  void SourceDestroyed(GS::EventSource* source) override {
    ++destroyed;
    GS::EventObserver::SourceDestroyed(source);
  }
  int changed = 0, rebuilds = 0, destroyed = 0;
  std::size_t changedElements = 0;
};

TEST(HostSdkLibrary, CallsBackIntoTheProgramsObservers) {
  Recorder recorder;
  {
    Modeler::Model3D model(std::make_shared<hostmodel::Project>());
    model.Attach(recorder);
    model.NotifyModelChanged();
    model.NotifyElementsChanged({API_Guid{}, API_Guid{}});
    model.NotifyRebuild(true);
    model.NotifyRebuild(false);
    EXPECT_EQ(recorder.changed, 1);
    EXPECT_EQ(recorder.changedElements, 2u);
    EXPECT_EQ(recorder.rebuilds, 2);
    EXPECT_EQ(model.ObserverCount(), 1u);
  }
  EXPECT_EQ(recorder.destroyed, 1);
}

hostmodel::Texture Gradient(int w, int h) {
  hostmodel::Texture t;
  t.width = w;
  t.height = h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      t.pixels.push_back(static_cast<std::uint8_t>(255 - x));
      t.pixels.push_back(static_cast<std::uint8_t>(x * 4));
      t.pixels.push_back(static_cast<std::uint8_t>(y * 4));
      t.pixels.push_back(static_cast<std::uint8_t>((x + y) * 2));
    }
  return t;
}

GSPixMapHandle MapOf(const hostmodel::Texture& t) {
  GSPixMapHandle map = GXCreateGSPixMap(t.width, t.height, GX_ARGB32);
  if (map != nullptr)
    std::copy(t.pixels.begin(), t.pixels.end(), static_cast<std::uint8_t*>(GXGetGSPixMapBaseAddr(map)));
  return map;
}

// A PNG the writer made reads back to the very pixels (its bytes may be
// another encoder's); a JPEG to pixels within its compression's error,
// without alpha. The file is found by its UTF-8 name, whatever the
// platform's own encoding of names.
TEST(HostSdkLibrary, WrittenImagesReadBackToThePixelsWritten) {
  TempDir dir;
  const hostmodel::Texture t = Gradient(64, 48);
  GSPixMapHandle map = MapOf(t);
  ASSERT_NE(map, nullptr);
  GX::Image image(map);
  GX::ImageSaveOptions options;
  const std::string png = dir.File("bild-\u00e4\u00df.png");
  ASSERT_EQ(image.WriteToFile(IO::Location(png), FTM::PngType, options), NoError);
  auto read = hostmodel::DecodeImageFile(png);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read->width, 64);
  EXPECT_EQ(read->height, 48);
  EXPECT_EQ(read->pixels, t.pixels);

  options.SetQuality(100000);
  const std::string jpeg = dir.File("picture.jpg");
  ASSERT_EQ(image.WriteToFile(IO::Location(jpeg), FTM::JpegType, options), NoError);
  read = hostmodel::DecodeImageFile(jpeg);
  ASSERT_TRUE(read.ok()) << read.error();
  ASSERT_EQ(read->pixels.size(), t.pixels.size());
  int worst = 0;
  for (std::size_t i = 0; i < t.pixels.size(); i += 4) {
    EXPECT_EQ(read->pixels[i], 255) << "a JPEG has no alpha";
    for (std::size_t c = 1; c < 4; ++c) worst = std::max(worst, std::abs(read->pixels[i + c] - t.pixels[i + c]));
  }
  EXPECT_LE(worst, 8);

  // Nothing is left where a file cannot be written.
  const std::string missing = dir.File("no/such.png");
  EXPECT_EQ(image.WriteToFile(IO::Location(missing), FTM::PngType, options), APIERR_IOERROR);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));
  EXPECT_EQ(image.WriteToFile(IO::Location(jpeg), FTM::UnknownType, options), APIERR_BADPARS);
  GXDeleteGSPixMap(map);
}

}  // namespace
