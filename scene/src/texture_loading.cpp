// Texture state of material records: memory bitmaps for the live link,
// image files in the texture folder, the host's own texture files, and the
// image files of the COLLADA export.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "base/utf.h"
#include "hostsdk/acapi.h"
#include "hostsdk/image.h"
#include "scene/material_library.h"
#include "scene/texture_bitmap.h"
#include "scene/texture_paths.h"
#include "util/files.h"
#include "util/text.h"

namespace scene {
namespace {

std::filesystem::path FsPath(const std::u16string& path) { return std::filesystem::path(base::ToUtf8(path)); }

void DeleteFile(const std::u16string& path) {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove(FsPath(path), ec);
}

// A texture repeat of 0, a negative or a non-finite size would make texture
// coordinates infinite; such a texture repeats once per model unit.
float RepeatSize(double size) {
  if (!std::isfinite(size) || size == 0.0 || std::fabs(size) > std::numeric_limits<float>::max()) return 1.0f;
  return static_cast<float>(size);
}

// The pixel count of a texture whose pixel map matches its size, 0 for a
// texture without pixels, and -1 for one whose pixel map holds another
// number of pixels than its width times its height.
std::int64_t ConsistentPixelCount(const ModelerAPI::Texture& texture) {
  const std::int64_t width = texture.GetPixelMapXSize();
  const std::int64_t height = texture.GetPixelMapYSize();
  const std::int64_t count = texture.GetPixelMapSize();
  if (width <= 0 || height <= 0) return count == 0 ? 0 : -1;
  return width * height == count ? count : -1;
}

}  // namespace

void MaterialLibrary::SetTextureFolder(const std::u16string& base) {
  if (!textureFolder_.empty()) return;
  std::u16string path = base;
  if (path.empty()) {
    API_ProjectInfo info;
    GS::UniString projectPath;
    if (ACAPI_Environment(APIEnv_ProjectID, &info) == NoError && !info.location.IsEmpty() &&
        info.location.ToPath(&projectPath) == NoError)
      path = projectPath.ToU16();
  }
  TextureFolderNames names = TextureFolderFor(path);
  textureFolder_ = std::move(names.folder);
  textureFolderName_ = std::move(names.name);
}

bool MaterialLibrary::EnsureTextureFolder() const {
  if (textureFolder_.empty()) return false;
  const std::filesystem::path folder = FsPath(textureFolder_);
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return true;
  std::filesystem::create_directory(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

std::int32_t MaterialLibrary::ModelTextureIndex(const std::u16string& fingerprint) const {
  if (model_ == nullptr || fingerprint.empty()) return -1;
  const Int32 count = model_->GetTextureNum();
  for (Int32 t = 1; t <= count; ++t) {
    ModelerAPI::Texture texture;
    model_->GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, t), &texture);
    if (texture.GetFingerprint().ToU16() == fingerprint) return t;
  }
  return -1;
}

void MaterialLibrary::LoadTexture(MaterialRecord& record, const ModelerAPI::Texture& texture,
                                  const API_Attribute* attribute) {
  if (memoryTextures_ && texture.GetPixelType() == 1) {
    BuildMemoryTexture(record, texture);
  } else {
    std::u16string path;
    if (attribute != nullptr && attribute->material.texture.fileLoc != nullptr &&
        !attribute->material.texture.fileLoc->IsEmpty()) {
      GS::UniString text;
      if (attribute->material.texture.fileLoc->ToPath(&text) == NoError) path = text.ToU16();
    }
    if (useHostTexturePaths_) {
      if (record.textureFileOwned && record.texturePath != path) {
        DeleteFile(record.texturePath);
        record.textureFileOwned = false;
      }
      record.texturePath = path;
    } else {
      if (path.empty() || !util::FileExists(path)) {
        if (EnsureTextureFolder()) {
          path = JoinPath(textureFolder_, ImageFileName(record.key, ImageExtension(texture)));
          // Written again when the name changes, when a file we wrote under
          // this name went missing since, and when the host texture is
          // another image than the one the file holds.
          if (record.texturePath != path || !util::FileExists(path) ||
              record.fingerprint != texture.GetFingerprint().ToU16())
            WriteImageFile(record, texture, path);
        } else {
          path.clear();
        }
      }
      if (!path.empty() && util::FileExists(path)) {
        if (record.texturePath != path && record.textureFileOwned) {
          // Taking the host's own file now: the generated one is ours to
          // remove, and the host's must never be deleted as if it were.
          DeleteFile(record.texturePath);
          record.textureFileOwned = false;
        }
        const std::uint64_t stamp = util::GetFileTimeStamp(path, 2);
        if (stamp != record.textureStamp) record.textureChanged = true;
        record.textureStamp = stamp;
        record.texturePath = path;
      }
    }
  }
  record.textureWidth = RepeatSize(texture.GetXSize());
  record.textureHeight = RepeatSize(texture.GetYSize());
  record.fingerprint = texture.GetFingerprint().ToU16();
  record.textureIndex = ModelTextureIndex(record.fingerprint);
}

void MaterialLibrary::BuildMemoryTexture(MaterialRecord& record, const ModelerAPI::Texture& texture) {
  ClearTexture(record);
  const std::int64_t pixels = ConsistentPixelCount(texture);
  if (pixels <= 0) {
    if (pixels < 0)
      ReportOnce(reportedPixelMismatch_, "Corvanta: a texture's pixel map does not match its size; sent without it\n");
    return;
  }
  const std::optional<std::uint32_t> bytes = MemoryBitmapBytes(static_cast<std::uint64_t>(pixels));
  if (!bytes) {
    ReportOnce(reportedTextureOverflow_, "Corvanta: a texture is too large for a link block; sent without it\n");
    return;
  }
  const std::size_t argbBytes = static_cast<std::size_t>(pixels) * 4;
  std::unique_ptr<std::uint8_t[]> argb(new (std::nothrow) std::uint8_t[argbBytes]);
  std::unique_ptr<std::uint8_t[]> bitmap(new (std::nothrow) std::uint8_t[*bytes]);
  if (argb == nullptr || bitmap == nullptr || !texture.GetPixelMap(argb.get(), argbBytes)) return;
  WriteMemoryBitmap(bitmap.get(), texture.GetPixelMapXSize(), texture.GetPixelMapYSize(), argb.get(),
                    KeepsAlpha(texture));
  record.texturePixels = std::move(bitmap);
  record.textureBytes = *bytes;
  record.textureChanged = true;
  record.textureFileOwned = false;
  ++textureCounter_;
  record.textureStamp = textureCounter_;
}

void MaterialLibrary::WriteImageFile(MaterialRecord& record, const ModelerAPI::Texture& texture,
                                     const std::u16string& path) {
  // Size, fingerprint and index describe the host texture, not the file;
  // they survive the rewrite so that texture coordinates stay right.
  const float width = record.textureWidth;
  const float height = record.textureHeight;
  std::u16string fingerprint = record.fingerprint;
  const std::int32_t index = record.textureIndex;
  ClearTexture(record);
  record.textureWidth = width;
  record.textureHeight = height;
  record.fingerprint = std::move(fingerprint);
  record.textureIndex = index;
  if (path.empty()) return;

  bool written = false;
  const std::int64_t pixels = ConsistentPixelCount(texture);
  if (pixels < 0)
    ReportOnce(reportedPixelMismatch_, "Corvanta: a texture's pixel map does not match its size; written without it\n");
  GSPixMapHandle map =
      pixels > 0 ? GXCreateGSPixMap(texture.GetPixelMapXSize(), texture.GetPixelMapYSize(), GX_ARGB32) : nullptr;
  if (map != nullptr) {
    void* base = GXGetGSPixMapBaseAddr(map);
    if (base != nullptr && texture.GetPixelMap(base, static_cast<std::size_t>(pixels) * 4)) {
      GX::ImageSaveOptions options;
      FTM::TypeID type;
      if (KeepsAlpha(texture)) {
        options.SetPixelBits(32);
        type = FTM::FileTypeManager::SearchForMime("image/png");
      } else {
        options.SetPixelBits(24);
        options.SetQuality(90000);
        type = FTM::FileTypeManager::SearchForMime("image/jpeg");
      }
      written = GX::Image(map).WriteToFile(IO::Location(base::ToUtf8(path)), type, options) == NoError;
    }
    GXDeleteGSPixMap(map);
  }
  if (written) {
    record.textureChanged = true;
    record.textureFileOwned = true;
    record.texturePath = path;
  } else {
    DeleteFile(path);
    ClearTexture(record);
  }
}

void MaterialLibrary::ClearTexture(MaterialRecord& record) {
  if (record.IsDefault()) return;
  if (record.textureFileOwned && !record.texturePath.empty()) DeleteFile(record.texturePath);
  record.textureFileOwned = false;
  record.texturePath.clear();
  record.texturePixels.reset();
  record.textureBytes = 0;
  record.textureWidth = 1.0f;
  record.textureHeight = 1.0f;
  record.textureStamp = 0;
  record.fingerprint.clear();
  record.textureIndex = -1;
  record.textureChanged = true;
}

MaterialRecord* MaterialLibrary::FindByFingerprint(const ModelerAPI::Texture& texture) {
  const std::u16string fingerprint = texture.GetFingerprint().ToU16();
  // Records without texture have an empty fingerprint: an empty one names
  // no texture and must not match them.
  if (fingerprint.empty()) return &defaultMaterial_;
  for (auto& entry : records_)
    if (entry.second->fingerprint == fingerprint) return entry.second.get();
  return &defaultMaterial_;
}

std::u16string MaterialLibrary::ExportImagePath(MaterialRecord& record) {
  if (model_ == nullptr) return {};
  ModelerAPI::Texture texture;
  if (record.textureIndex >= 0) {
    model_->GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, record.textureIndex),
                       &texture);
  } else if (record.attrIndex >= 0) {
    ModelerAPI::Material material;
    model_->GetMaterial(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::MaterialIndex, record.attrIndex),
                        &material);
    if (!material.HasTexture()) return {};
    material.GetTexture(&texture);
  } else {
    return {};
  }
  if (!EnsureTextureFolder()) return {};

  std::u16string fileName;
  if (record.texturePath.empty() || !util::FileExists(record.texturePath)) {
    fileName = ImageFileName(record.key, ImageExtension(texture));
    WriteImageFile(record, texture, JoinPath(textureFolder_, fileName));
    // The image is part of the exported document now: it stays when the
    // library is reset or the record goes away.
    record.textureFileOwned = false;
  } else {
    fileName = ImageFileName(record.key, FileExtension(record.texturePath));
    const std::u16string copy = JoinPath(textureFolder_, fileName);
    if (copy != record.texturePath) {
      std::error_code ec;
      std::filesystem::copy_file(FsPath(record.texturePath), FsPath(copy),
                                 std::filesystem::copy_options::overwrite_existing, ec);
      if (ec) {
        record.texturePath.clear();
      } else {
        if (record.textureFileOwned) DeleteFile(record.texturePath);
        record.textureFileOwned = false;
        record.texturePath = copy;
      }
    }
  }
  if (record.texturePath.empty()) return {};
  return JoinPath(textureFolderName_, fileName);
}

}  // namespace scene
