// Byte layout of the live link's shared memory: the control area header, the
// record head, the payloads of the records both sides read (camera view,
// status, surface), the header of a surface's geometry block and the bitmap
// image of a memory texture. Both processes map these bytes, so every offset
// here is protocol: the static_asserts pin each field, and everyone who
// writes or reads these bytes goes through these types.
#pragma once

#include <cstddef>
#include <cstdint>

namespace CorvantaAPI {

// A type code is four ASCII bytes in memory order, compared as one
// little-endian 32-bit value: MakeType("HEAD") reads 'H','E','A','D'.
constexpr std::uint32_t MakeType(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

inline constexpr std::uint32_t kTypeHead = MakeType("HEAD");
inline constexpr std::uint32_t kTypeView = MakeType("VIEW");
inline constexpr std::uint32_t kTypeStat = MakeType("STAT");
inline constexpr std::uint32_t kTypeSurface = MakeType("SRFC");
inline constexpr std::uint32_t kTypeRetiredSurface = MakeType("SRFI");

inline constexpr std::uint32_t kSlotBytes = 2048;
inline constexpr std::uint32_t kRecordOffset = 2048;
inline constexpr std::uint32_t kHeaderSize = 1244;
inline constexpr std::uint32_t kRecordHeadBytes = 20;
inline constexpr std::uint32_t kLabelUnits = 64;
inline constexpr std::uint32_t kPeerTextUnits = 260;
inline constexpr std::uint32_t kCameraDataBytes = 628;
// Width of the text fields of a surface record (name, texture path).
inline constexpr std::uint32_t kSurfaceTextUnits = 260;

// Sizes written into a record's head when it is created.
inline constexpr std::uint32_t kViewRecordSize = 652;
inline constexpr std::uint32_t kStatRecordSize = 28;
inline constexpr std::uint32_t kSurfaceRecordSize = 1932;
inline constexpr std::uint32_t kPlainRecordSize = 20;

// Header flags and record flag bit 0.
inline constexpr std::uint32_t kFlagChanged = 1;
inline constexpr std::uint32_t kFlagClosed = 2;
// Record flags of a surface beyond bit 0.
inline constexpr std::uint32_t kSurfaceFlagMaterialChanged = 0x100;
inline constexpr std::uint32_t kSurfaceFlagTextureChanged = 0x200;

// The wake-up message posted to the renderer's main windows.
inline constexpr std::uint32_t kWakeMessage = 0x8729;
inline constexpr std::uint32_t kNotifyChanged = 2;

// Block ids of a guest start above this value so they never meet the
// creator's ids (1, 2, 3, ...).
inline constexpr std::uint32_t kGuestBlockBase = 0x80000000u;

// Bytes 0..2047 of the control area; fields past `size` stay zero.
struct Header {
  std::uint32_t type;          // "HEAD"
  std::uint32_t size;          // 1244
  std::uint32_t id;            // 0
  std::uint32_t flags;         // kFlagChanged | kFlagClosed
  std::uint32_t changeCount;   // +1 per SetFlags with bit 0
  std::uint32_t field20;       // written as 1; the renderer's business
  std::uint32_t lockOwner;     // pid holding the cross-process lock, 0 = free
  std::uint32_t totalSize;     // (capacity + 1) * 2048
  std::uint32_t recordOffset;  // 2048
  std::uint32_t capacity;      // record slots
  std::uint32_t recordCount;   // 1 + live records
  std::uint32_t highestSlot;   // scans run over 0..highestSlot
  std::uint32_t creatorPid;    // part of every block name
  char16_t label[kLabelUnits];
  std::uint8_t reserved[16];
  std::uint32_t updateCount;
  char16_t peerText1[kPeerTextUnits];
  char16_t peerText2[kPeerTextUnits];
  std::uint32_t peerValue;
};

// The head every record slot starts with.
struct Record {
  std::uint32_t type;         // 0 = free slot
  std::uint32_t size;         // bytes of the slot in use, from the type
  std::uint32_t id;           // never 0 for a live record
  std::uint32_t flags;        // bit 0 changed; more bits per type
  std::uint32_t changeCount;  // +1 each time bit 0 is set
};

// The camera handed to UpdateView and carried in the "VIEW" record.
// Renderer frame: a host point (x, y, z) is (x, z, y), y is up.
struct CameraViewData {
  // Row by row: right, up, viewing direction (fourth component 0), then the
  // eye position (fourth component 1).
  float cameraToWorld[4][4];
  std::uint8_t reserved[520];
  std::uint32_t kind;  // 6 perspective; 0 in the record that ends following
  float fieldOfView;
  float position[3];
  float backward[3];  // unit vector from the target towards the eye
  float up[3];
};
inline constexpr std::uint32_t kCameraPerspective = 6;

struct ViewRecord {
  Record head;
  std::uint32_t active;  // 1 while the camera is followed
  CameraViewData camera;
};

struct StatRecord {
  Record head;
  std::uint32_t blockId;        // 0 = no block yet
  std::uint32_t blockCapacity;  // bytes of that block
};

// One surface: a material with its merged geometry. The slot is zero when
// the record is created, so the reserved parts stay zero. Retiring it turns
// the type into "SRFI" and the geometry fields into 0.
struct SurfaceRecord {
  Record head;
  std::uint32_t materialChangeCount;  // +1 per publication with the material changed
  // UTF-16, zero-filled; a name of 260 units or more fills it unterminated.
  char16_t name[kSurfaceTextUnits];
  std::int32_t surfaceType;
  std::uint8_t reserved548[256];
  std::uint32_t colour;  // ARGB; 0x00FFFFFF when textured
  float fixedA;          // 0.5
  float shine;
  float fixedB;  // 0
  float fixedC;  // 0
  float opacity;
  float attenuation;
  float fixedD;  // 1.0
  float percentage;
  std::uint8_t reserved840[16];
  std::uint32_t textureStamp;
  // Empty when the texture travels in a block.
  char16_t texturePath[kSurfaceTextUnits];
  std::uint32_t textureBlockId;        // 0 = none
  std::uint32_t textureBlockCapacity;  // bytes
  std::uint32_t allOnes;               // always 0xFFFFFFFF
  std::uint8_t reserved1392[520];
  std::uint32_t zero1912;  // always 0
  std::uint8_t reserved1916[4];
  std::uint32_t geometryChangeCount;
  std::uint32_t geometryBlockId;        // 0 = none
  std::uint32_t geometryBlockCapacity;  // bytes
};
inline constexpr std::uint32_t kSurfaceAllOnes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kTexturedColour = 0x00FFFFFFu;

// Offsets of the tail kept for code that addresses it by number.
inline constexpr std::size_t kSurfaceGeometryChangeOffset = offsetof(SurfaceRecord, geometryChangeCount);
inline constexpr std::size_t kSurfaceGeometryBlockIdOffset = offsetof(SurfaceRecord, geometryBlockId);
inline constexpr std::size_t kSurfaceGeometryBlockCapacityOffset = offsetof(SurfaceRecord, geometryBlockCapacity);

// The start of a surface's geometry block. After it: V positions (3 floats),
// V normals (3 floats), K sets of V texture coordinates (2 floats), I indices
// (uint32, three per triangle). The block may be larger than that.
struct GeometryBlockHeader {
  std::uint32_t vertexCount;   // V, back copies included
  std::uint32_t indexCount;    // I, a multiple of 3
  std::uint32_t texCoordSets;  // K, always 1 on this side
};
inline constexpr std::uint32_t kGeometryTexCoordSets = 1;

// Byte offsets of the arrays of a geometry block, and the bytes it needs.
// The counts are a peer's: V and K may each be near 2^32, and the texture
// coordinates' 8 * K * V then passes 2^64. The sums saturate at the largest
// 64-bit value instead of wrapping, so that no counts can make a block seem
// to hold them when it does not.
struct GeometryBlockLayout {
  std::uint64_t positions;
  std::uint64_t normals;
  std::uint64_t texCoords;
  std::uint64_t indices;
  std::uint64_t totalBytes;
};
namespace layout_detail {
inline constexpr std::uint64_t kSaturated = ~std::uint64_t{0};
constexpr std::uint64_t Times(std::uint64_t a, std::uint64_t b) {
  return a != 0 && b > kSaturated / a ? kSaturated : a * b;
}
constexpr std::uint64_t Plus(std::uint64_t a, std::uint64_t b) { return b > kSaturated - a ? kSaturated : a + b; }
}  // namespace layout_detail
constexpr GeometryBlockLayout GeometryLayout(std::uint64_t v, std::uint64_t i, std::uint64_t k) {
  using layout_detail::Plus;
  using layout_detail::Times;
  const std::uint64_t positions = sizeof(GeometryBlockHeader);
  const std::uint64_t normals = Plus(positions, Times(12, v));
  const std::uint64_t texCoords = Plus(normals, Times(12, v));
  const std::uint64_t indices = Plus(texCoords, Times(Times(8, k), v));
  return {positions, normals, texCoords, indices, Plus(indices, Times(4, i))};
}

// A memory texture is a Windows bitmap file image: this 54-byte header, then
// width * height pixels of 4 bytes (blue, green, red, alpha), rows top-down.
#pragma pack(push, 1)
struct BitmapHeader {
  char magic[2];              // "BM"
  std::uint32_t fileSize;     // 54 + 4 * pixels
  std::uint16_t reserved1;    // 0
  std::uint16_t reserved2;    // 0
  std::uint32_t pixelOffset;  // 54
  std::uint32_t infoSize;     // 40
  std::int32_t width;
  std::int32_t height;             // negative: rows top-down
  std::uint16_t planes;            // 1
  std::uint16_t bitsPerPixel;      // 32
  std::uint32_t compression;       // 0
  std::uint32_t imageSize;         // 4 * pixels
  std::int32_t xPixelsPerMetre;    // 0
  std::int32_t yPixelsPerMetre;    // 0
  std::uint32_t coloursUsed;       // 0
  std::uint32_t coloursImportant;  // 0
};
#pragma pack(pop)
inline constexpr std::uint32_t kBitmapHeaderBytes = 54;
inline constexpr std::uint32_t kBitmapInfoBytes = 40;

static_assert(sizeof(Header) == kHeaderSize);
static_assert(offsetof(Header, type) == 0);
static_assert(offsetof(Header, size) == 4);
static_assert(offsetof(Header, id) == 8);
static_assert(offsetof(Header, flags) == 12);
static_assert(offsetof(Header, changeCount) == 16);
static_assert(offsetof(Header, field20) == 20);
static_assert(offsetof(Header, lockOwner) == 24);
static_assert(offsetof(Header, totalSize) == 28);
static_assert(offsetof(Header, recordOffset) == 32);
static_assert(offsetof(Header, capacity) == 36);
static_assert(offsetof(Header, recordCount) == 40);
static_assert(offsetof(Header, highestSlot) == 44);
static_assert(offsetof(Header, creatorPid) == 48);
static_assert(offsetof(Header, label) == 52);
static_assert(offsetof(Header, reserved) == 180);
static_assert(offsetof(Header, updateCount) == 196);
static_assert(offsetof(Header, peerText1) == 200);
static_assert(offsetof(Header, peerText2) == 720);
static_assert(offsetof(Header, peerValue) == 1240);

static_assert(sizeof(Record) == kRecordHeadBytes);
static_assert(offsetof(Record, type) == 0);
static_assert(offsetof(Record, size) == 4);
static_assert(offsetof(Record, id) == 8);
static_assert(offsetof(Record, flags) == 12);
static_assert(offsetof(Record, changeCount) == 16);

static_assert(sizeof(CameraViewData) == kCameraDataBytes);
static_assert(offsetof(CameraViewData, cameraToWorld) == 0);
static_assert(offsetof(CameraViewData, reserved) == 64);
static_assert(offsetof(CameraViewData, kind) == 584);
static_assert(offsetof(CameraViewData, fieldOfView) == 588);
static_assert(offsetof(CameraViewData, position) == 592);
static_assert(offsetof(CameraViewData, backward) == 604);
static_assert(offsetof(CameraViewData, up) == 616);

static_assert(offsetof(ViewRecord, active) == 20);
static_assert(offsetof(ViewRecord, camera) == 24);
static_assert(sizeof(ViewRecord) == kViewRecordSize);
static_assert(offsetof(StatRecord, blockId) == 20);
static_assert(offsetof(StatRecord, blockCapacity) == 24);
static_assert(sizeof(StatRecord) == kStatRecordSize);

static_assert(sizeof(SurfaceRecord) == kSurfaceRecordSize);
static_assert(offsetof(SurfaceRecord, materialChangeCount) == 20);
static_assert(offsetof(SurfaceRecord, name) == 24);
static_assert(offsetof(SurfaceRecord, surfaceType) == 544);
static_assert(offsetof(SurfaceRecord, reserved548) == 548);
static_assert(offsetof(SurfaceRecord, colour) == 804);
static_assert(offsetof(SurfaceRecord, fixedA) == 808);
static_assert(offsetof(SurfaceRecord, shine) == 812);
static_assert(offsetof(SurfaceRecord, fixedB) == 816);
static_assert(offsetof(SurfaceRecord, fixedC) == 820);
static_assert(offsetof(SurfaceRecord, opacity) == 824);
static_assert(offsetof(SurfaceRecord, attenuation) == 828);
static_assert(offsetof(SurfaceRecord, fixedD) == 832);
static_assert(offsetof(SurfaceRecord, percentage) == 836);
static_assert(offsetof(SurfaceRecord, reserved840) == 840);
static_assert(offsetof(SurfaceRecord, textureStamp) == 856);
static_assert(offsetof(SurfaceRecord, texturePath) == 860);
static_assert(offsetof(SurfaceRecord, textureBlockId) == 1380);
static_assert(offsetof(SurfaceRecord, textureBlockCapacity) == 1384);
static_assert(offsetof(SurfaceRecord, allOnes) == 1388);
static_assert(offsetof(SurfaceRecord, reserved1392) == 1392);
static_assert(offsetof(SurfaceRecord, zero1912) == 1912);
static_assert(offsetof(SurfaceRecord, reserved1916) == 1916);
static_assert(offsetof(SurfaceRecord, geometryChangeCount) == 1920);
static_assert(offsetof(SurfaceRecord, geometryBlockId) == 1924);
static_assert(offsetof(SurfaceRecord, geometryBlockCapacity) == 1928);

static_assert(sizeof(GeometryBlockHeader) == 12);
static_assert(offsetof(GeometryBlockHeader, vertexCount) == 0);
static_assert(offsetof(GeometryBlockHeader, indexCount) == 4);
static_assert(offsetof(GeometryBlockHeader, texCoordSets) == 8);

static_assert(sizeof(BitmapHeader) == kBitmapHeaderBytes);
static_assert(offsetof(BitmapHeader, magic) == 0);
static_assert(offsetof(BitmapHeader, fileSize) == 2);
static_assert(offsetof(BitmapHeader, reserved1) == 6);
static_assert(offsetof(BitmapHeader, reserved2) == 8);
static_assert(offsetof(BitmapHeader, pixelOffset) == 10);
static_assert(offsetof(BitmapHeader, infoSize) == 14);
static_assert(offsetof(BitmapHeader, width) == 18);
static_assert(offsetof(BitmapHeader, height) == 22);
static_assert(offsetof(BitmapHeader, planes) == 26);
static_assert(offsetof(BitmapHeader, bitsPerPixel) == 28);
static_assert(offsetof(BitmapHeader, compression) == 30);
static_assert(offsetof(BitmapHeader, imageSize) == 34);
static_assert(offsetof(BitmapHeader, xPixelsPerMetre) == 38);
static_assert(kBitmapHeaderBytes - kBitmapInfoBytes == 14);

// The size a new record of this type is given.
constexpr std::uint32_t RecordSizeForType(std::uint32_t type) {
  switch (type) {
    case kTypeView: return kViewRecordSize;
    case kTypeStat: return kStatRecordSize;
    case kTypeSurface: return kSurfaceRecordSize;
    default: return kPlainRecordSize;
  }
}

// Single reads and writes of a 32-bit field that another process may change
// at any moment: the value is read once, so a check and its use see the same
// number. A store is a release and a load an acquire: a change count raised
// after a block is written is never seen before the block's bytes, on any
// processor, by a reader that looks at the count first (on x86 both are
// plain moves).
inline std::uint32_t LoadShared(const std::uint32_t& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }
inline void StoreShared(std::uint32_t& field, std::uint32_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

}  // namespace CorvantaAPI
