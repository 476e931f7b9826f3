// Requests by selector. The host groups them by dispatcher (environment,
// database, goodies, automation); each selector names the record it fills or
// reads. Unknown selectors give APIERR_BADSELECTOR; a null record where one
// is needed gives APIERR_BADPARS; a request that needs an open project gives
// APIERR_NOPLAN without one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hostsdk/events.h"
#include "hostsdk/guid.h"
#include "hostsdk/location.h"
#include "hostsdk/sight.h"
#include "hostsdk/types.h"
#include "hostsdk/unistring.h"

// ---- Environment ------------------------------------------------------------
// 'PROJ'  p1: API_ProjectInfo*                       project identity
// 'hWND'  p1: HWND* (void**)                          the host's main window
// 'GPRF'  p1: API_WorkingUnitPrefs* (p2 = 0) or API_RefLevelsPrefs* (p2 = 1)
// 'GPLA'  p1: API_PlaceInfo*                          place and location
// 'GP3D'  p1: API_3DProjectionInfo*                   3D projection
// 'CP3D'  p1: const API_3DProjectionInfo*             set the projection type
// 'GMAP'  p1: API_ApplicationInfo*                    host application info
inline constexpr GSType APIEnv_ProjectID = FourCC("PROJ");
inline constexpr GSType APIEnv_GetMainWindowID = FourCC("hWND");
inline constexpr GSType APIEnv_GetPreferencesID = FourCC("GPRF");
inline constexpr GSType APIEnv_GetPlaceSetsID = FourCC("GPLA");
inline constexpr GSType APIEnv_Get3DProjectionSetsID = FourCC("GP3D");
inline constexpr GSType APIEnv_Change3DProjectionSetsID = FourCC("CP3D");
inline constexpr GSType APIEnv_ApplicationID = FourCC("GMAP");

// ---- Database ---------------------------------------------------------------
// 'GWIN'  p1: API_WindowInfo*                         the current window
// 'CHWD'  p1: const API_WindowInfo*                   make a window current
inline constexpr GSType APIDb_GetCurrentWindowID = FourCC("GWIN");
inline constexpr GSType APIDb_ChangeCurrentWindowID = FourCC("CHWD");

// ---- Automation -------------------------------------------------------------
// 'RBLD'  no record                                   rebuild the views
inline constexpr GSType APIDo_RebuildID = FourCC("RBLD");

// ---- Goodies ----------------------------------------------------------------
// 'GATS'  p1: API_AutotextList*, p2: filter (intptr_t; 2 = custom ones only)
// 'CAAT'  p1: const API_Guid*, p2: const char* (UTF-8 name)
// 'SAAT'  p1: const GS::UniString* key, p2: const GS::UniString* value
inline constexpr GSType APIAny_GetAutoTextsID = FourCC("GATS");
inline constexpr GSType APIAny_CreateAnAutoTextID = FourCC("CAAT");
inline constexpr GSType APIAny_SetAnAutoTextID = FourCC("SAAT");

struct API_ProjectInfo {
  bool untitled = true;
  bool teamwork = false;
  IO::Location location;      // solo project file; empty when untitled
  GS::UniString teamworkUrl;  // location URL of a teamwork project
  GS::UniString projectName;  // file name without folder and extension
};

enum API_LengthTypeID : Int32 {
  API_Metre = 0,
  API_Centimetre = 1,
  API_Millimetre = 2,
  API_FootInch = 3,
  API_Inch = 4,
};

struct API_WorkingUnitPrefs {
  API_LengthTypeID lengthUnit = API_Metre;  // below 3: metric
  Int32 angleUnit = 0;
  Int32 decimals = 2;
};

struct API_RefLevelsPrefs {
  double level1val = 0.0;  // metres above project zero
  double level2val = 0.0;
  bool hasLevel1 = false;
  bool hasLevel2 = false;
  char level1name[64] = {};  // UTF-8, NUL-terminated, cut to fit
  char level2name[64] = {};
};

struct API_PlaceInfo {
  double longitude = 0.0;  // degrees
  double latitude = 0.0;
  double altitude = 0.0;  // metres above sea level
  double north = 0.0;
};

struct API_3DProjectionInfo {
  bool isPersp = true;  // first field: perspective projection
  Int32 projectionType = Modeler::kPerspectiveProjection;
  Modeler::PerspectiveData persp{};  // filled by 'GP3D' for a perspective view
};

// 512 bytes; the leading field is the version text (8-bit, NUL-terminated).
struct API_ApplicationInfo {
  char version[64];
  char productName[64];
  Int32 mainVersion;
  Int32 releaseVersion;
  Int32 buildNumber;
  std::uint8_t reserved[512 - 140];
};
static_assert(sizeof(API_ApplicationInfo) == 512);
static_assert(offsetof(API_ApplicationInfo, version) == 0);

struct API_WindowInfo {
  API_WindowTypeID typeID = APIWind_FloorPlanID;
  Int32 index = 0;
  API_Guid databaseUnId{};
};

using API_AutotextEntry = std::array<GS::UniString, 3>;  // name, key, value
inline constexpr std::intptr_t APIAutoText_All = 0;
inline constexpr std::intptr_t APIAutoText_Custom = 2;

struct API_AutotextList {
  std::vector<API_AutotextEntry> entries;
};

// ---- Attributes -------------------------------------------------------------
enum API_AttrTypeID : Int32 {
  API_ZombieAttrID = 0,
  API_PenID = 1,
  API_LayerID = 2,
  API_LinetypeID = 3,
  API_FilltypeID = 4,
  API_CompWallID = 5,
  API_ProfileID = 6,
  API_MaterialID = 7,
};

using API_AttributeIndex = Int32;

struct API_RGBColor {
  double f_red = 0, f_green = 0, f_blue = 0;  // 0..1
};

struct API_Attr_Head {
  API_AttrTypeID typeID = API_ZombieAttrID;
  API_AttributeIndex index = 0;
  Int64 modiStamp = 0;  // changes whenever the attribute changes
  API_Guid guid{};
  UInt16 flags = 0;     // 0: the attribute has no GUID of its own
  char name[256] = {};  // UTF-8, NUL-terminated, cut to fit
};

enum API_MaterTypeID : Int16 {
  APIMater_GeneralID = 0,
  APIMater_SimpleID = 1,
  APIMater_MatteID = 2,
  APIMater_MetalID = 3,
  APIMater_PlasticID = 4,
  APIMater_GlassID = 5,
  APIMater_GlowingID = 6,
  APIMater_ConstantID = 7,
};

struct API_Texture {
  // Owned by the attribute record: the caller deletes it after use (see
  // ACAPI_DisposeAttribute). Null when the material has no texture; an empty
  // location for a texture without an image file of its own.
  IO::Location* fileLoc = nullptr;
  double xSize = 1.0;
  double ySize = 1.0;
};

struct API_MaterialType {
  API_MaterTypeID mtype = APIMater_GeneralID;
  Int16 transpPc = 0;    // transparency, percent
  Int16 shine = 0;       // 0..10000
  UInt16 transpAtt = 0;  // attenuation, 0..65535
  Int16 percentage = 0;  // percent
  API_RGBColor surfaceRGB;
  API_RGBColor specularRGB;  // the second colour
  API_Texture texture;
};

struct API_Attribute {
  API_Attr_Head header;
  API_MaterialType material;
};

inline void ACAPI_DisposeAttribute(API_Attribute* attribute) {
  if (attribute == nullptr) return;
  delete attribute->material.texture.fileLoc;
  attribute->material.texture.fileLoc = nullptr;
}
