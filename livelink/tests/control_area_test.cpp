// The checked reads over a local buffer: what a guest accepts, and how far
// a scan may go whatever the peer wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "livelink/control_area.h"
#include "livelink/layout.h"

using namespace CorvantaAPI;

namespace {

void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  std::memcpy(bytes.data() + offset, &value, 4);
}

// A well-formed area as the creator writes it, in a plain buffer.
std::vector<std::uint8_t> MakeArea(std::uint32_t capacity) {
  std::vector<std::uint8_t> bytes(ControlAreaBytes(capacity), 0);
  auto* header = reinterpret_cast<Header*>(bytes.data());
  header->type = kTypeHead;
  header->size = kHeaderSize;
  header->totalSize = static_cast<std::uint32_t>(bytes.size());
  header->recordOffset = kRecordOffset;
  header->capacity = capacity;
  header->highestSlot = 1;
  return bytes;
}

}  // namespace

TEST(LivelinkControlAreaTest, GuestRefusesHeadersThatDoNotDescribeTheMapping) {
  // The largest capacity that fits; 2^32 would wrap to 0; capacity + 1 wraps.
  EXPECT_EQ(std::tuple(ControlAreaBytes(2097150), ControlAreaBytes(2097151), ControlAreaBytes(0xFFFFFFFFu)),
            std::tuple(0xFFFFF800u, 0u, 0u));
  auto bytes = MakeArea(8);
  EXPECT_EQ(std::tuple(ValidateControlArea(bytes.data(), bytes.size()), ValidateControlArea(bytes.data(), 2047),
                       ValidateControlArea(nullptr, bytes.size())),
            std::tuple(AreaCheck::Ok, AreaCheck::TooSmall, AreaCheck::TooSmall));

  struct Case {
    std::size_t offset;
    std::uint32_t value;
    AreaCheck expected;
  } cases[] = {
      {0, kTypeStat, AreaCheck::BadType},          {32, 2052, AreaCheck::BadRecordOffset},
      {32, 0, AreaCheck::BadRecordOffset},         {36, 9, AreaCheck::BadTotalSize},  // capacity beyond the mapping
      {36, 0xFFFFFFFFu, AreaCheck::BadCapacity},                                      // capacity + 1 wraps
      {36, 3000000, AreaCheck::BadCapacity},                                          // size wraps 32 bits
      {28, 9 * 2048 + 4, AreaCheck::BadTotalSize},                                    // total size disagrees
  };
  for (const Case& c : cases) {
    auto broken = bytes;
    Put(broken, c.offset, c.value);
    EXPECT_EQ(ValidateControlArea(broken.data(), broken.size()), c.expected)
        << "offset " << c.offset << " value " << c.value;
  }
  // A smaller capacity with a matching total size inside a larger mapping is
  // consistent: the guest just sees fewer slots.
  auto smaller = bytes;
  Put(smaller, 36, 4);
  Put(smaller, 28, 5 * 2048);
  EXPECT_EQ(ValidateControlArea(smaller.data(), smaller.size()), AreaCheck::Ok);
}

TEST(LivelinkControlAreaTest, ScansStayInsideTheMappedSlots) {
  auto bytes = MakeArea(4);
  ControlAreaView area(bytes.data(), 4);
  auto* header = area.header();
  header->capacity = 1000;  // the peer's capacity does not widen the view
  // Past the last slot, and +1 must not wrap to an empty scan.
  for (const auto& [highest, limit] : {std::pair{1u, 2u}, {3u, 4u}, {4u, 4u}, {0xFFFFFFFFu, 4u}}) {
    header->highestSlot = highest;
    EXPECT_EQ(area.ScanLimit(), limit) << highest;
  }
  EXPECT_EQ(area.Slot(4), nullptr);
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(area.Slot(3)), bytes.data() + 2048 + 3 * 2048);
  EXPECT_EQ(std::tuple(area.IndexOf(area.Slot(2)), area.IndexOf(bytes.data() + 2048 + 5), area.IndexOf(bytes.data())),
            std::tuple(2, -1, -1));
  EXPECT_EQ(ControlAreaView().ScanLimit(), 0u);
}

TEST(LivelinkControlAreaTest, TextsAndSizesReadFromSharedBytesAreBounded) {
  Record record{};
  for (std::uint32_t claimed : {0u, 19u, 20u, 652u, 2048u, 2049u, 0xFFFFFFFFu}) {
    record.size = claimed;
    const std::uint32_t readable = ReadableRecordBytes(&record);
    EXPECT_GE(readable, 20u);
    EXPECT_LE(readable, 2048u);
  }
  record.size = 652;
  EXPECT_EQ(ReadableRecordBytes(&record), 652u);

  // A status block whose record claims more than is mapped is read only as
  // far as the mapping goes.
  std::vector<char16_t> block(6, u'x');
  EXPECT_EQ(std::tuple(ReadStatusText(block.data(), 12, 4096), ReadStatusText(block.data(), 12, 4),
                       ReadStatusText(block.data(), 11, 4096), ReadStatusText(nullptr, 12, 12)),  // odd byte dropped
            std::tuple(u"xxxxxx", u"xx", u"xxxxx", u""));
}
