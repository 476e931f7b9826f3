// What a renderer sees of a link: a copy of the header counters, the records
// by slot, the status text and the camera record, read through a guest
// connection with every offset and size checked against what is mapped.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "livelink/live_connection.h"

namespace CorvantaAPI {

struct RecordInfo {
  std::uint32_t slot = 0;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  std::uint32_t id = 0;
  std::uint32_t flags = 0;
  std::uint32_t changeCount = 0;
  // "STAT" and "SRFC"/"SRFI": the block the record refers to, 0 for none.
  std::uint32_t blockId = 0;
  std::uint32_t blockCapacity = 0;
};

struct CameraInfo {
  bool present = false;
  std::uint32_t active = 0;
  std::uint32_t kind = 0;
  float fieldOfView = 0;
  std::array<float, 3> position{};
  std::array<float, 3> backward{};
  std::array<float, 3> up{};
};

struct LinkSnapshot {
  std::uint32_t flags = 0;
  std::uint32_t changeCount = 0;
  std::uint32_t updateCount = 0;
  std::uint32_t recordCount = 0;
  std::uint32_t highestSlot = 0;
  std::uint32_t capacity = 0;
  std::uint32_t creatorPid = 0;
  std::uint32_t lockOwner = 0;
  std::u16string label;
  std::vector<RecordInfo> records;  // live slots in slot order
  // Decoded from the block of the first "STAT" record; statusProblem says
  // why it could not be read (empty when it was).
  std::u16string statusText;
  std::string statusProblem;
  CameraInfo camera;  // from the first "VIEW" record
};

// Four ASCII characters of a type code; other bytes shown as '?'.
std::string TypeName(std::uint32_t type);

// Threads: one reader on one thread at a time (Read keeps the status
// block it opened); the connection may serve other threads meanwhile.
class LinkReader {
 public:
  explicit LinkReader(LiveConnection& connection) : connection_(&connection) {}

  // Reads the whole picture. Empty snapshot when the connection is closed.
  // The status block is reopened when the record names another one, and the
  // previous block is closed, so a renderer does not keep released blocks
  // alive.
  LinkSnapshot Read();

 private:
  LiveConnection* connection_;
  std::uint32_t statusBlock_ = 0;
};

}  // namespace CorvantaAPI
