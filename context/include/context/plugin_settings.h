// The user's choices for the live link and the COLLADA export, kept in the
// current user's registry under "Software\Torvik\PluginForArchiCAD". The
// vertical model offset may also travel with the project as the custom
// auto-text "Velmar model offset".
//
// Failures are not reported to the user here (the settings dialog tells
// the user once when a change cannot be stored):
// - a key that can be neither opened nor created: Load keeps the current
//   values, Save writes nothing and returns false;
// - a value that is missing reads as its default (every switch on,
//   OffsetType 1, CustomOffset 0.01) and is written by the next Save;
// - a value that is present but cannot be used (damaged store, wrong type,
//   wrong size, a text that is no number or out of float range) reads as its
//   fallback for this session, and Save leaves the stored value alone until
//   the user sets that value explicitly, so nothing stored is overwritten by
//   a default;
// - failing host queries (levels, location, auto-texts) give offset 0.0 / not
//   found; a failing auto-text creation writes nothing to the project.
//
// Host user-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace context {

class PluginSettings {
 public:
  // Offset types: which height becomes the vertical model offset.
  enum : std::uint32_t {
    kOffsetCustom = 0,
    kOffsetZero = 1,
    kOffsetSeaLevel = 2,
    kOffsetLevel1 = 3,
    kOffsetLevel2 = 4,
  };
  static constexpr float kDefaultCustomOffset = 0.01f;
  static constexpr const char16_t* kDefaultKeyPath = u"Software\\Torvik\\PluginForArchiCAD";
  static constexpr const char* kOffsetAutoTextName = "Velmar model offset";

  // Sets the initial values, then Load. keyPath is the sub-key of
  // HKEY_CURRENT_USER (tests may pass another one).
  explicit PluginSettings(std::u16string keyPath = kDefaultKeyPath);

  // Reads every value (see the header comment for failures). Returns false
  // when the key could be neither opened nor created (values unchanged).
  bool Load();
  // Writes every value (except those kept, see above). Returns false when the
  // key could not be opened or a write failed.
  bool Save();

  bool CameraAutoSync() const { return cameraAutoSync_ != 0; }
  bool MemoryTextures() const { return memoryTextures_ != 0; }
  bool ColorAsTextures() const { return colorAsTextures_ != 0; }
  bool SmoothSurfaces() const { return smoothSurfaces_ != 0; }
  bool OptimizeSurfaces() const { return optimizeSurfaces_ != 0; }
  bool ExportNodes() const { return exportNodes_ != 0; }
  std::uint32_t OffsetType() const { return offsetType_; }
  float CustomOffset() const { return customOffset_; }
  const std::u16string& KeyPath() const { return keyPath_; }

  // Each setter stores its value and saves at once; the result is Save's
  // (false: the store could not be written, the value is this record's
  // only until the next Load).
  bool SetCameraAutoSync(bool on);
  bool SetMemoryTextures(bool on);
  bool SetColorAsTextures(bool on);
  bool SetSmoothSurfaces(bool on);
  bool SetOptimizeSurfaces(bool on);
  bool SetExportNodes(bool on);
  // n below 5 is stored as is, anything else as 1 (zero offset).
  bool SetOffsetType(std::uint32_t n);
  // NaN and infinite values are stored as 0.01.
  bool SetCustomOffset(float metres);

  // Where the values of the current user's key are kept, for the user to
  // repair or remove. On Linux the registry store's file (docs/registry.md):
  // "<store root>/<key path with "/">/.values.json", empty when the store
  // has no root (no home folder). On Windows the key in the user's registry:
  // "HKEY_CURRENT_USER\<key path>".
  std::u16string StoreFile() const;

  // The vertical model offset in metres: 0 for type 1 (and unknown types),
  // the project's altitude for 2, the first or second reference level's
  // height for 3 and 4 (0 when the host query fails or the level is absent),
  // the project's offset auto-text for 0, else CustomOffset.
  float EffectiveOffset() const;

  // The height for offset types 1 to 4 as EffectiveOffset computes it; empty
  // when the host cannot answer (no project, failing query, level absent).
  static std::optional<double> LevelHeight(std::uint32_t offsetType);

  // The first custom auto-text named "Velmar model offset" whose value parses
  // as a finite float; empty when there is none or the query fails.
  static std::optional<float> ReadOffsetAutoText();
  // Sets the auto-text to value ("%0.3f"), creating it first when the project
  // has none. Does nothing without a project. False when nothing was written.
  static bool WriteOffsetAutoText(float value);

 private:
  // Per-value flags: bit i set = value i is present but could not be used,
  // so Save keeps the stored one. Order of the registry table.
  enum : unsigned {
    kBitCameraAutoSync = 1u << 0,
    kBitMemoryTextures = 1u << 1,
    kBitColorAsTextures = 1u << 2,
    kBitSmoothSurfaces = 1u << 3,
    kBitOptimizeSurfaces = 1u << 4,
    kBitExportNodes = 1u << 5,
    kBitOffsetType = 1u << 6,
    kBitCustomOffset = 1u << 7,
  };
  bool SetSwitch(std::uint32_t& field, unsigned bit, bool on);

  std::u16string keyPath_;
  std::uint32_t cameraAutoSync_ = 0;
  std::uint32_t memoryTextures_ = 0;
  std::uint32_t colorAsTextures_ = 0;
  std::uint32_t smoothSurfaces_ = 0;
  std::uint32_t optimizeSurfaces_ = 1;
  std::uint32_t exportNodes_ = 1;
  std::uint32_t offsetType_ = 1;
  float customOffset_ = kDefaultCustomOffset;
  unsigned keepStored_ = 0;
};

}  // namespace context
