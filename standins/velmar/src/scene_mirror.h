// The renderer's copy of a link's scene, kept current as a renderer would:
// on every update it scans the record heads and re-reads only what a change
// counter says has changed (the record's change count, the surface's
// material and geometry change counters, the texture's stamp, path and
// block). Everything read from shared memory is checked: offsets, counts
// and sizes against the bytes actually mapped, indices against the vertex
// count, images against their block. A geometry block is read by
// difference (geometry_block.h) and stays mapped while its record names
// it, so an edit of a large surface costs a comparison of its bytes, not a
// new copy. A block or file that cannot be opened for want of descriptors
// or memory is no fault of the publication: its part is read again at the
// next update (said once while that lasts). What fails a check is reported as a
// Problem naming the record and the field and is skipped; the rest of the
// scene, including the last good state of the failing part, stays. A
// surface whose record has never been readable is left out of the scene.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "geometry_block.h"
#include "livelink/live_connection.h"
#include "scene.h"

namespace velmar {

struct Problem {
  std::uint32_t slot = 0;
  std::uint32_t recordId = 0;  // 0 for the header
  std::string record;          // "SRFC", "VIEW", "STAT", "HEAD"
  std::string field;           // e.g. "geometryBlockId", "indices", "size"
  std::string message;
};

// What one update read.
struct UpdateStats {
  bool locked = false;            // read under the link's cross-process lock
  std::uint32_t changeCount = 0;  // the header's, when read
  std::size_t slotsScanned = 0;
  std::size_t surfacesAdded = 0;
  std::size_t surfacesRemoved = 0;
  std::size_t parametersRead = 0;
  std::size_t geometriesRead = 0;
  std::size_t texturesRead = 0;
  std::size_t geometryBytesChanged = 0;  // of the geometries read, the bytes that differed
  // Of the geometries read, those whose change went into a second copy
  // because the one before was still held outside the mirror (by frames
  // waiting for a page).
  std::size_t geometriesCopied = 0;
  bool cameraRead = false;
  bool statusRead = false;
  std::size_t problems = 0;
  // Which surfaces this update touched: the slots of those that were new or
  // had a part re-read, in slot order, and the record ids of those that went.
  std::vector<std::uint32_t> surfacesRead;
  std::vector<std::uint32_t> surfacesGone;

  bool changed() const {
    return surfacesAdded + surfacesRemoved + parametersRead + geometriesRead + texturesRead > 0 || cameraRead ||
           statusRead;
  }
};

class SceneMirror {
 public:
  // The connection must be open as a guest (or creator) while Update runs;
  // the mirror never writes to the shared memory.
  // chunkBytes: the piece a geometry block is compared in.
  explicit SceneMirror(CorvantaAPI::LiveConnection& connection,
                       std::size_t chunkBytes = HeldGeometry::kDefaultChunkBytes);
  ~SceneMirror();
  SceneMirror(const SceneMirror&) = delete;
  SceneMirror& operator=(const SceneMirror&) = delete;

  // Reads what changed since the last update. A closed connection reads
  // nothing. lockTimeoutUs bounds the wait for the cross-process lock; when
  // it cannot be had the update reads anyway and re-reads next time any
  // record whose change count moved while it was being read.
  UpdateStats Update(std::uint32_t lockTimeoutUs = 20000);

  const Scene& scene() const { return scene_; }

  // The geometries the next Update would read anew, as the records say
  // now: asked before it, so that whoever else holds one (the live view)
  // can let it go while the link's lock is not held, and the update is
  // then made in place instead of in a second copy. A hint only: the
  // records are looked at without the lock and may change before Update.
  std::vector<const Geometry*> GeometriesToChange() const;

  // Problems found since the last call (each failing publication once).
  std::vector<Problem> TakeProblems();

  // Forgets the whole scene (for the next link) and closes the geometry
  // blocks it kept mapped.
  void Reset();

  // How often each surface's parts were read, by record id: for seeing that
  // an edit re-read only what it touched.
  struct ReadCounts {
    std::size_t parameters = 0, geometry = 0, texture = 0;
  };
  const std::map<std::uint32_t, ReadCounts>& readCounts() const { return reads_; }

 private:
  struct Entry {
    explicit Entry(std::size_t chunkBytes) : geometry(chunkBytes) {}
    Surface surface;
    HeldGeometry geometry;
    std::uint32_t mappedBlock = 0;  // the geometry block kept open, 0 for none
    std::uint32_t id = 0;
    std::uint32_t recordChange = 0;
    bool stale = true;  // re-read everything at the next update
    std::uint32_t materialChange = 0;
    std::uint32_t geometryChange = 0, geometryBlock = 0, geometryCapacity = 0;
    std::uint32_t textureStamp = 0, textureBlock = 0, textureCapacity = 0;
    std::u16string texturePath;
    bool haveMaterial = false, haveGeometry = false, haveTexture = false;
  };

  void ReadSurface(std::uint32_t slot, const CorvantaAPI::Record* record, Entry& entry, UpdateStats& stats);
  void ReadParameters(const CorvantaAPI::SurfaceRecord& copy, Entry& entry);
  void ReadTexture(const CorvantaAPI::SurfaceRecord& copy, Entry& entry);
  // The bytes that differed from what was held (all, when read whole).
  std::size_t ReadGeometry(const CorvantaAPI::SurfaceRecord& copy, Entry& entry);
  void ReadCamera(std::uint32_t slot, const CorvantaAPI::Record* record, UpdateStats& stats);
  void ReadStatus(std::uint32_t slot, const CorvantaAPI::Record* record, UpdateStats& stats);
  // Where a block's problems are reported: the record naming it, its id
  // and capacity fields, and the prefix of the fields its reader names.
  struct BlockFields {
    std::uint32_t slot, recordId;
    const char* record;
    const char* idField;
    const char* capacityField;
    std::string contentPrefix;
  };
  // Decodes the readable bytes of a block (at most min(capacity, mapped
  // size)); on refusal names the field and says why.
  using BlockReader =
      std::function<bool(const std::uint8_t* data, std::size_t bytes, std::string* field, std::string* error)>;
  // Opens the block, hands its bytes to read and closes it again unless
  // keep; a block that does not open, a capacity past the mapping and a
  // refusal are reported. True when read accepted the bytes.
  bool ReadBlock(const BlockFields& fields, std::uint32_t blockId, std::uint32_t capacity, const BlockReader& read,
                 bool keep = false);
  void Report(std::uint32_t slot, std::uint32_t id, const char* record, std::string field, std::string message);
  void ReportHeader(const std::string& field, const std::string& message, bool holds);
  void Rebuild();
  // Drops the surface of that slot, closing its block.
  std::map<std::uint32_t, Entry>::iterator Forget(std::map<std::uint32_t, Entry>::iterator it, UpdateStats& stats);

  CorvantaAPI::LiveConnection* connection_;
  std::size_t chunkBytes_;
  std::map<std::uint32_t, Entry> surfaces_;  // by slot
  std::uint32_t viewSlot_ = UINT32_MAX, viewId_ = 0, viewChange_ = 0;
  std::uint32_t statSlot_ = UINT32_MAX, statId_ = 0, statChange_ = 0;
  bool viewStale_ = true, statStale_ = true;
  Scene scene_;
  std::vector<Problem> problems_;
  std::set<std::string> headerProblems_;  // header conditions reported and still holding
  std::map<std::uint32_t, ReadCounts> reads_;
  // Reporting context of the surface being read.
  std::uint32_t currentSlot_ = 0, currentId_ = 0;
  // A block or file of the part being read could not be opened for want of
  // descriptors or memory (retry_); the first such error of this update.
  bool retry_ = false;
  DWORD transientError_ = 0;
  std::size_t* counter_ = nullptr;
};

// Percent-decoding of the status map's text values (%hh as a byte); a "%"
// not followed by two hex digits stays as it is.
std::string PercentDecode(const std::string& text);

}  // namespace velmar
