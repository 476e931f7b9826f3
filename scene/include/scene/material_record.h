// One material as the live link and the COLLADA export see it: its key, the
// values taken from the host attribute, its surface type and its texture
// state. Records are owned by the MaterialLibrary; meshes, groups and dirty
// key sets refer to them by key only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hostsdk/guid.h"

namespace CorvantaAPI {
struct Record;
}

namespace scene {

// Key of the default material. Key 0 means the default material in lookups
// too, and a record with key 0 is never published.
inline constexpr std::uint64_t kDefaultMaterialKey = 0xFFFFFFFFFFFFFFFFull;
inline constexpr char16_t kDefaultMaterialName[] = u"Default material";

// The key of a host material with a GUID of its own: its first 8 bytes
// exclusive-or its last 8 bytes, each read as a little-endian 64-bit number.
std::uint64_t MaterialKeyFromGuid(const API_Guid& guid);

struct MaterialRecord {
  std::uint64_t key = 0;
  std::int64_t modStamp = 0;       // host modification stamp when last filled
  std::uint64_t lastWalk = 0;      // walk counter of the last refresh that met it
  std::int32_t attrIndex = -1;     // host attribute index, -1 for variants
  std::int32_t textureIndex = -1;  // 1-based among the model's textures, -1 none
  bool changed = false;            // parameters changed since last publication
  std::u16string name;
  std::int32_t surfaceType = 0;
  std::uint32_t colour = 0xFFAAAAAA;        // ARGB
  std::uint32_t secondColour = 0xFFAAAAAA;  // for the export; not on the link
  float fixedA = 0.5f;
  float shine = 1.0f;
  float fixedB = 0.0f;
  float fixedC = 0.0f;
  float opacity = 0.0f;  // 1 = opaque
  float attenuation = 0.0f;
  float fixedD = 1.0f;
  float percentage = 0.0f;

  // Texture state.
  bool textureChanged = false;     // since the last publication
  bool textureFileOwned = false;   // texturePath is a file the library wrote
  std::uint64_t textureStamp = 0;  // file write time, or textureCounter for pixels
  std::u16string texturePath;
  std::u16string fingerprint;
  std::unique_ptr<std::uint8_t[]> texturePixels;  // a bitmap file image
  std::uint32_t textureBytes = 0;
  float textureWidth = 1.0f;  // one texture repeat, model units
  float textureHeight = 1.0f;

  // The record's "SRFC" record in the control area; null until published.
  CorvantaAPI::Record* linkRecord = nullptr;
  // The texture block this library created for the record and its size.
  // Kept here rather than read back from shared memory, which the renderer
  // can write: releasing or filling a block must never follow its bytes.
  std::uint32_t textureBlockId = 0;
  std::uint32_t textureBlockCapacity = 0;

  // A texture file path, texture pixels or a model texture index.
  bool HasTexture() const { return !texturePath.empty() || texturePixels != nullptr || textureIndex != -1; }
  bool IsDefault() const { return key == 0 || key == kDefaultMaterialKey; }
};

}  // namespace scene
