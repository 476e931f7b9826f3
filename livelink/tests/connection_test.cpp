// One connection in one process over real named shared memory: the control
// area it creates, its records, flags, text fields, blocks, and the view and
// status records. What a renderer would see is read back through a guest
// connection and the renderer's own reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "isolation.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using livelink_test::UniqueName;

// The values the field offsets pinned in layout.h cannot show: type codes in
// memory order ("HEAD" is 'H','E','A','D'), the record sizes, and the sizes
// of a geometry block (5 vertices, 9 indices, one set: 12 + 60 + 60 + 40 +
// 36 bytes), which counts a peer could write do not wrap.
static_assert(kTypeHead == 0x44414548u && kTypeSurface == 0x43465253u && kTypeRetiredSurface == 0x49465253u);
static_assert(kTypeView == 0x57454956u && kTypeStat == 0x54415453u);
static_assert(GeometryLayout(5, 9, 1).normals == 72 && GeometryLayout(5, 9, 1).texCoords == 132);
static_assert(GeometryLayout(5, 9, 1).indices == 172 && GeometryLayout(5, 9, 1).totalBytes == 208);
// The largest counts a peer can write need more bytes than any block holds,
// however they combine: 8 * K * V alone passes 2^64.
static_assert(GeometryLayout(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu).totalBytes == ~0ull);
static_assert(GeometryLayout(0xFFFFFFFFu, 3, 0xFFFFFFFEu).totalBytes == ~0ull);
static_assert(GeometryLayout(0xFFFFFFFFu, 0, 1).totalBytes == 12 + 32ull * 0xFFFFFFFFu);
static_assert(GeometryLayout(1, 0xFFFFFFFFu, 0).indices == 36 && GeometryLayout(0, 3, 0xFFFFFFFFu).totalBytes == 24);
static_assert(RecordSizeForType(kTypeView) == 652 && RecordSizeForType(kTypeStat) == 28);
static_assert(RecordSizeForType(kTypeSurface) == 1932 && RecordSizeForType(MakeType("ABCD")) == 20);

namespace {

const auto kPid = static_cast<std::uint32_t>(::getpid());

bool MappingExists(const std::u16string& name) {
  HANDLE handle = OpenFileMappingW(FILE_MAP_ALL_ACCESS, TRUE, name.c_str());
  if (handle == nullptr) return false;
  CloseHandle(handle);
  return true;
}

// What a renderer's guest reads of the link right now.
LinkSnapshot Snapshot(LiveConnection& creator) {
  LiveConnection guest;
  EXPECT_EQ(guest.Open(creator.GetName()), 0);
  return LinkReader(guest).Read();
}

// Its record table: "records N highest H:" then "slot:TYPE/size" for each
// live slot in slot order, with "@block" where the record names one.
std::string Slots(LiveConnection& creator) {
  const LinkSnapshot s = Snapshot(creator);
  std::string text = "records " + std::to_string(s.recordCount) + " highest " + std::to_string(s.highestSlot) + ":";
  for (const RecordInfo& r : s.records) {
    text += " " + std::to_string(r.slot) + ":" + TypeName(r.type) + "/" + std::to_string(r.size);
    if (r.blockId != 0 && r.type != kTypeStat) text += "@" + std::to_string(r.blockId);
  }
  return text;
}

// The renderer side calls the transport through its virtual table, so the
// position of every operation is protocol. Under the Itanium C++ ABI a
// pointer to a virtual member function holds 1 + the byte offset of its
// entry; the virtual destructor takes the first two entries (complete and
// deleting), so table slot n >= 1 sits at entry n + 1.
template <typename Member>
long EntryOf(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t words[2];
  std::memcpy(words, &member, sizeof words);
  if ((words[0] & 1) == 0) return -1;  // not virtual
  return static_cast<long>((words[0] - 1) / sizeof(void*));
}

class LivelinkConnectionTest : public ::testing::Test {
 protected:
  const std::u16string name_ = UniqueName("conn");
  LiveConnection connection_;
};

}  // namespace

TEST_F(LivelinkConnectionTest, CreateWritesTheHeaderAndItsOwnRecords) {
  ASSERT_EQ(connection_.Create(name_, 5000), CreateResult::kOk);
  EXPECT_EQ(connection_.MappedBytes(), 10242048u);
  const Header& h = *connection_.Area().header();  // field offsets pinned in layout.h
  EXPECT_EQ(std::vector<std::uint32_t>({h.type, h.size, h.id, h.flags, h.changeCount, h.field20, h.lockOwner,
                                        h.totalSize, h.recordOffset, h.capacity, h.recordCount, h.highestSlot,
                                        h.creatorPid, h.updateCount, h.peerValue}),
            std::vector<std::uint32_t>({kTypeHead, 1244, 0, 0, 1, 1, 0, 10242048, 2048, 5000, 3, 1, kPid, 1, 0}));
  EXPECT_EQ(Slots(connection_), "records 3 highest 1: 0:VIEW/652 1:STAT/28");
  const Record *view = connection_.OwnViewRecord(), *stat = connection_.OwnStatRecord();
  EXPECT_EQ(std::tuple(view->id != 0, stat->id, connection_.FindRecord(stat->id), connection_.FindRecord(0)),
            std::tuple(true, view->id + 1, stat, nullptr));  // free slots have id 0

  // The name keeps its backslashes; the mapping's name has slashes.
  EXPECT_EQ(
      std::tuple(connection_.GetName(), MappingExists(MappingNameFor(name_)), connection_.ConnectionExists(name_)),
      std::tuple(name_, true, true));
  connection_.Close();  // the last user: the mapping goes
  EXPECT_EQ(std::tuple(connection_.GetName(), MappingExists(MappingNameFor(name_))),
            std::tuple(std::u16string(), false));
}

TEST_F(LivelinkConnectionTest, CreateRefusesTakenNamesSizesThatWrapAndNamesNobodyCouldFind) {
  ASSERT_EQ(connection_.Create(name_, 4), CreateResult::kOk);
  LiveConnection second;
  EXPECT_EQ(second.Create(name_, 4), CreateResult::kExists);
  // (capacity + 1) * 2048 beyond 32 bits must not become a tiny area.
  EXPECT_EQ(second.Create(UniqueName("huge"), 0xFFFFFFFFu), CreateResult::kFailed);
  EXPECT_EQ(second.Create(UniqueName("huge"), 2097151), CreateResult::kFailed);
  EXPECT_FALSE(second.IsOpen());
  // Reopening the same object keeps counting record ids.
  const std::uint32_t firstView = connection_.OwnViewRecord()->id;
  ASSERT_EQ(connection_.Create(UniqueName("again"), 4), CreateResult::kOk);
  EXPECT_EQ(connection_.OwnViewRecord()->id, firstView + 2);
  connection_.Destroy();

  // 259 units is the longest name the registry enumeration returns whole:
  // such a link is announced and found.
  std::u16string longest = name_;
  longest.resize(kConnectionNameLimit - 1, u'x');
  ASSERT_EQ(connection_.Create(longest, 4), CreateResult::kOk);
  ASSERT_EQ(connection_.Announce(), 0);
  EXPECT_EQ(connection_.EnumConnections(1), std::vector<std::u16string>{longest});
  connection_.Destroy();
  // One unit more would be announced but never listed nor purged; an empty
  // name would make an unnamed area nobody can open. Refused, nothing made.
  const struct {
    std::u16string name;
    CreateResult result;
    DWORD error;
  } refused[] = {{longest + u'y', CreateResult::kNameTooLong, ERROR_FILENAME_EXCED_RANGE},
                 {longest + std::u16string(1000, u'z'), CreateResult::kNameTooLong, ERROR_FILENAME_EXCED_RANGE},
                 {u"", CreateResult::kFailed, ERROR_INVALID_PARAMETER}};
  for (const auto& r : refused) {
    SetLastError(0);
    const CreateResult result = connection_.Create(r.name, 4);
    const DWORD error = GetLastError();
    EXPECT_EQ(std::tuple(result, error, connection_.IsOpen(), !r.name.empty() && MappingExists(MappingNameFor(r.name))),
              std::tuple(r.result, r.error, false, false));
  }
}

// Which header lies are refused is the control area test's table; here the
// guest reports one as invalid data, and a missing area as not found.
TEST_F(LivelinkConnectionTest, OpenTellsAMissingAreaFromOneWhoseHeaderLies) {
  LiveConnection guest;
  auto open = [&] {
    const int rc = guest.Open(name_);
    return std::tuple(rc, rc == 0 ? DWORD(0) : GetLastError(), guest.LastAreaCheck(), guest.IsOpen());
  };
  EXPECT_EQ(open(), std::tuple(-1, DWORD(ERROR_FILE_NOT_FOUND), AreaCheck::Ok, false));
  ASSERT_EQ(connection_.Create(name_, 4), CreateResult::kOk);
  Header* header = connection_.Area().header();
  header->capacity = 100;  // slots far past the 10 KiB mapping
  header->totalSize = 101 * 2048;
  EXPECT_EQ(open(), std::tuple(-1, DWORD(ERROR_INVALID_DATA), AreaCheck::BadTotalSize, false));
  header->capacity = 4;
  header->totalSize = 5 * 2048;
  EXPECT_EQ(open(), std::tuple(0, DWORD(0), AreaCheck::Ok, true));
}

// Records take the lowest free slot; highestSlot follows the top one, never
// wrapping; counts and lists match the type and the masked flags.
TEST_F(LivelinkConnectionTest, RecordsFillTheLowestFreeSlotAndAreFoundByTypeAndFlags) {
  ASSERT_EQ(connection_.Create(name_, 8), CreateResult::kOk);
  Header* header = connection_.Area().header();
  EXPECT_EQ(connection_.CreateRecord(kTypeHead), nullptr);
  std::vector<Record*> surfaces;
  for (int i = 0; i < 5; ++i) surfaces.push_back(connection_.CreateRecord(kTypeSurface));
  surfaces.push_back(connection_.CreateRecord(kTypeRetiredSurface));
  // The renderer reads the geometry block's id, not the texture's.
  auto* surface = reinterpret_cast<SurfaceRecord*>(surfaces[1]);
  surface->textureBlockId = 0x99;
  surface->geometryBlockId = 0x1234;
  EXPECT_EQ(Slots(connection_),
            "records 9 highest 7: 0:VIEW/652 1:STAT/28 2:SRFC/1932 3:SRFC/1932@4660 "
            "4:SRFC/1932 5:SRFC/1932 6:SRFC/1932 7:SRFI/20");
  connection_.SetRecordFlags(surfaces[0], kFlagChanged);
  connection_.SetRecordFlags(surfaces[2], kFlagChanged | 4);
  auto count = [&](std::uint32_t mask, std::uint32_t value) {
    return connection_.CountRecords(kTypeSurface, mask, value);
  };
  EXPECT_EQ(std::tuple(count(1, 1), count(1, 0), count(0, 12345), count(5, 5)), std::tuple(2u, 3u, 5u, 1u));
  EXPECT_EQ(connection_.GetRecords(kTypeSurface, 1, 1), (std::vector<Record*>{surfaces[0], surfaces[2]}));
  EXPECT_EQ(connection_.GetRecords(kTypeRetiredSurface, 0, 0), std::vector<Record*>{surfaces[5]});
  // A highestSlot written by a peer far past the slots does not widen scans.
  header->highestSlot = 0xFFFFFFF0u;
  EXPECT_EQ(count(0, 0), 5u);
  header->highestSlot = 7;

  // Full: null, and no header field moves.
  std::vector<std::uint8_t> before(reinterpret_cast<std::uint8_t*>(header),
                                   reinterpret_cast<std::uint8_t*>(header) + kHeaderSize);
  EXPECT_EQ(connection_.CreateRecord(MakeType("ABCD")), nullptr);
  EXPECT_EQ(std::memcmp(before.data(), header, kHeaderSize), 0);

  // Deleting slots 2..6 leaves highestSlot; deleting slot 7 lowers it; a
  // new record takes the lowest free slot.
  for (int i = 0; i < 6; ++i) EXPECT_EQ(connection_.DeleteRecord(surfaces[i]->id), 0);
  EXPECT_EQ(connection_.Area().IndexOf(connection_.CreateRecord(MakeType("ABCD"))), 2);
  EXPECT_EQ(Slots(connection_), "records 4 highest 6: 0:VIEW/652 1:STAT/28 2:ABCD/20");
  EXPECT_EQ(TypeName(0x01020304), "????");

  // Unknown ids, id 0 among free slots included, change nothing.
  std::memcpy(before.data(), header, kHeaderSize);
  EXPECT_EQ(connection_.DeleteRecord(999999), 0);
  EXPECT_EQ(connection_.DeleteRecord(0), 0);
  EXPECT_EQ(std::memcmp(before.data(), header, kHeaderSize), 0);

  // Slot 0 deleted while a peer left highestSlot at 0: no wrap. The
  // connection forgets its deleted view: no later write into the free slot.
  header->highestSlot = 0;
  EXPECT_EQ(connection_.DeleteRecord(connection_.OwnViewRecord()->id), 0);
  EXPECT_EQ(std::tuple(header->highestSlot, header->recordCount, connection_.OwnViewRecord()),
            std::tuple(0u, 3u, nullptr));
  connection_.UpdateView(false, nullptr);
  EXPECT_EQ(std::tuple(connection_.Area().Slot(0)->type, connection_.Area().Slot(0)->flags), std::tuple(0u, 0u));
}

// Flags count their changes; the renderer's closed flag ends the link; the
// label and peer texts take what fits and refuse the rest.
TEST_F(LivelinkConnectionTest, FlagsCountChangesAndTextFieldsTakeWhatFits) {
  EXPECT_EQ(connection_.GetLabel(), nullptr);
  connection_.SetLabel(u"ignored while closed");
  ASSERT_EQ(connection_.Create(name_, 4), CreateResult::kOk);
  Record* record = connection_.CreateRecord(kTypeSurface);
  connection_.SetRecordFlags(record, 4);  // only the changed flag counts
  connection_.SetRecordFlags(record, kFlagChanged);
  connection_.SetRecordFlags(record, kFlagChanged);
  EXPECT_EQ(std::tuple(record->changeCount, connection_.TestRecordFlags(record, 0xFF)), std::tuple(2u, 5u));
  connection_.ClearRecordFlags(record, kFlagChanged);
  EXPECT_EQ(connection_.TestRecordFlags(record, 0xFF), 4u);
  connection_.SetRecordFlags(nullptr, 1);
  EXPECT_EQ(connection_.TestRecordFlags(nullptr, 0xFF), 0u);

  Header* header = connection_.Area().header();
  connection_.SetFlags(kFlagChanged);
  EXPECT_EQ(std::tuple(header->changeCount, header->updateCount), std::tuple(2u, 2u));
  connection_.SetUpdateCount(40);
  connection_.SetFlags(kFlagChanged);
  EXPECT_EQ(std::tuple(connection_.GetUpdateCount(), connection_.IsConnected()), std::tuple(41u, true));
  header->flags |= kFlagClosed;  // the renderer ends the link
  EXPECT_EQ(std::tuple(connection_.IsConnected(), connection_.TestFlags(kFlagClosed | kFlagChanged)),
            std::tuple(false, 3u));
  connection_.ClearFlags(kFlagClosed);
  EXPECT_TRUE(connection_.IsConnected());

  const std::u16string fits(63, u'l');
  connection_.SetLabel(fits.c_str());
  EXPECT_EQ(Snapshot(connection_).label, fits);
  connection_.SetLabel((fits + u'l').c_str());
  EXPECT_EQ(connection_.GetLabel()[0], 0);
  connection_.SetPeerText1(u"scene");  // both texts or none
  EXPECT_FALSE(connection_.HasPeerTexts());
  connection_.SetPeerText2(std::u16string(259, u'p').c_str());
  EXPECT_TRUE(connection_.HasPeerTexts());
  connection_.SetPeerText2(std::u16string(260, u'p').c_str());
  EXPECT_FALSE(connection_.HasPeerTexts());
  EXPECT_EQ(std::u16string(connection_.GetPeerText1()), u"scene");
  connection_.SetPeerValue(77);
  EXPECT_EQ(std::tuple(connection_.GetPeerValue(), header->peerValue), std::tuple(77u, 77u));
  connection_.Close();
  EXPECT_EQ(std::tuple(connection_.IsConnected(), connection_.TestFlags(0xFFFFFFFFu)), std::tuple(false, 0u));
}

// Blocks are named after the creator's pid, released with their owner, and
// a new run steps over names the renderer still holds from the last one.
TEST_F(LivelinkConnectionTest, BlocksAreNamedByCreatorAndReleasedWithTheirOwner) {
  ASSERT_EQ(connection_.Create(name_, 8), CreateResult::kOk);
  EXPECT_EQ(BlockName(4711, 26), u"CorvantaAPI/4711/0000001A");
  Record* owner = connection_.CreateRecord(kTypeSurface);
  const std::uint32_t first = connection_.CreateBlock(owner->id, 4096);
  EXPECT_EQ(std::tuple(first, MappingExists(BlockName(kPid, 1))), std::tuple(1u, true));
  void* view = connection_.OpenBlock(first);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(connection_.OpenBlock(first), view);  // the stored view, nothing reopened
  EXPECT_EQ(std::tuple(connection_.GetBlockSize(first), connection_.CreateBlock(owner->id, 0),
                       connection_.CreateBlock(owner->id, 16)),
            std::tuple(4096u, 0u, 2u));
  connection_.ReleaseBlock(0);
  connection_.CloseBlock(0);
  EXPECT_EQ(connection_.OpenBlock(0), nullptr);
  HANDLE held = OpenFileMappingW(FILE_MAP_ALL_ACCESS, TRUE, BlockName(kPid, 2).c_str());
  ASSERT_NE(held, nullptr);  // the renderer keeps block 2 open

  ASSERT_EQ(connection_.DeleteRecord(owner->id), 0);
  EXPECT_EQ(std::tuple(MappingExists(BlockName(kPid, 1)), connection_.GetBlockSize(first)), std::tuple(false, 0u));
  connection_.Destroy();
  ASSERT_EQ(connection_.Create(UniqueName("rerun"), 8), CreateResult::kOk);
  const std::uint32_t reused = connection_.CreateBlock(7, 1 << 20), fresh = connection_.CreateBlock(7, 1 << 20);
  EXPECT_EQ(std::tuple(reused, fresh), std::tuple(1u, 3u));
  ASSERT_NE(connection_.OpenBlock(fresh), nullptr);
  EXPECT_GE(connection_.GetBlockSize(fresh), 1u << 20);
  std::memset(connection_.OpenBlock(fresh), 0xAB, 1 << 20);  // would overrun a 16-byte block
  CloseHandle(held);
}

TEST_F(LivelinkConnectionTest, BlocksAreCreatedAndOpenedFromManyThreadsAtOnce) {
  ASSERT_EQ(connection_.Create(name_, 8), CreateResult::kOk);
  Record* owner = connection_.CreateRecord(kTypeSurface);
  constexpr std::uint32_t kBlocks = 64;
  std::vector<std::uint32_t> ids(kBlocks);
  // Parallel mesh publishing: creation, opening and size lookups overlap.
  // (Plain threads, so the thread sanitizer sees every hand-over.)
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (std::uint32_t i = t; i < kBlocks; i += 8) {
        ids[i] = connection_.CreateBlock(owner->id, 4096 + i);
        auto* view = static_cast<std::uint32_t*>(connection_.OpenBlock(ids[i]));
        if (view != nullptr) *view = i;
        EXPECT_EQ(connection_.OpenBlock(0x70000000u + i), nullptr);  // lookups of unknown ids
      }
    });
  for (auto& thread : threads) thread.join();
  std::vector<std::uint32_t> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  for (std::uint32_t i = 0; i < kBlocks; ++i)  // every id once, none lost; each block its own
    EXPECT_EQ(std::tuple(sorted[i], *static_cast<std::uint32_t*>(connection_.OpenBlock(ids[i])),
                         connection_.GetBlockSize(ids[i])),
              std::tuple(i + 1, i, livelink_test::ViewBytes(4096u + i)));
  EXPECT_EQ(connection_.DeleteRecord(owner->id), 0);
  for (std::uint32_t id : ids) EXPECT_EQ(connection_.GetBlockSize(id), 0u);
}

TEST_F(LivelinkConnectionTest, UpdateViewWritesTheCameraAndFlagsTheRecord) {
  connection_.UpdateView(true, nullptr);  // closed: nothing happens
  ASSERT_EQ(connection_.Create(name_, 4), CreateResult::kOk);
  auto* view = reinterpret_cast<ViewRecord*>(connection_.OwnViewRecord());
  CameraViewData camera{};
  camera.kind = kCameraPerspective;
  camera.fieldOfView = 45;
  camera.position[1] = 1.61f;
  camera.backward[2] = -1;
  camera.up[1] = 1;
  camera.reserved[100] = 0x5A;
  // Active with data follows it; active without data ends following and
  // keeps the camera; each call counts one change.
  for (const CameraViewData* data : std::initializer_list<const CameraViewData*>{&camera, nullptr}) {
    connection_.UpdateView(true, data);
    const CameraInfo s = Snapshot(connection_).camera;
    using V = std::array<float, 3>;
    EXPECT_EQ(std::tuple(s.active, s.kind, s.fieldOfView, s.position, s.backward, s.up),
              std::tuple(data != nullptr ? 1u : 0u, 6u, 45.0f, V{0, 1.61f, 0}, V{0, 0, -1}, V{0, 1, 0}));
    EXPECT_EQ(std::tuple(std::memcmp(&view->camera, &camera, sizeof camera), view->head.flags & kFlagChanged),
              std::tuple(0, kFlagChanged));
  }
  std::vector<std::uint8_t> zeros(kCameraDataBytes, 0);
  connection_.UpdateView(false, zeros.data());
  EXPECT_EQ(std::tuple(Snapshot(connection_).camera.kind, view->head.changeCount), std::tuple(0u, 3u));
}

// The status text lives in a block of twice its size, reused while it fits;
// whatever the renderer writes into the record, the text never lands in or
// releases a block that is not the status's own.
TEST_F(LivelinkConnectionTest, StatusTextIsWrittenIntoItsOwnBlockTwiceItsSize) {
  EXPECT_EQ(StatusText({{u"b", {0, u"x y"}}, {u"a", {1, u"42"}}, {u"k", {7, u"v"}}}),
            u"{\"a\":\"42\",\"b\":\"x%20y\",\"k\":}");
  ASSERT_EQ(connection_.Create(name_, 4), CreateResult::kOk);
  auto* stat = reinterpret_cast<StatRecord*>(connection_.OwnStatRecord());
  connection_.UpdateStatus({});
  const std::uint32_t own = stat->blockId;
  auto status = [&] { return std::tuple(stat->blockId, stat->blockCapacity, Snapshot(connection_).statusText); };
  EXPECT_NE(own, 0u);
  EXPECT_EQ(status(), std::tuple(own, 12u, u"{}"));
  // Still fits (5 units + NUL = 12 bytes): the same block is reused.
  connection_.UpdateStatus({{u"", {2, u""}}});
  EXPECT_EQ(status(), std::tuple(own, 12u, u"{\"\":}"));

  // The renderer points the record at a surface's geometry block, with a
  // huge capacity, or at an id in the guest's range (we must not map the
  // renderer's blocks).
  Record* surface = connection_.CreateRecord(kTypeSurface);
  const std::uint32_t geometry = connection_.CreateBlock(surface->id, 4096);
  ASSERT_NE(geometry, 0u);
  std::memset(connection_.OpenBlock(geometry), 0x5A, 4096);
  LiveConnection guest;
  ASSERT_EQ(guest.Open(name_), 0);
  const std::uint32_t theirs = guest.CreateBlock(1, 64);
  ASSERT_GT(theirs, kGuestBlockBase);
  for (const std::uint32_t pointedAt : {geometry, theirs}) {
    stat->blockId = pointedAt;
    stat->blockCapacity = 1u << 30;
    connection_.UpdateStatus({});
    EXPECT_EQ(status(), std::tuple(own, 12u, u"{}"));
  }
  EXPECT_EQ(connection_.GetBlockSize(theirs), 0u);

  // Grows: a new block with a new id, the old one released, the geometry
  // block untouched.
  const StatusMap big = {{u"toolName", {0, u"Host"}}, {u"vertexCount", {1, std::u16string(400, u'9')}}};
  connection_.UpdateStatus(big);
  const std::u16string text = StatusText(big);
  EXPECT_NE(stat->blockId, own);
  EXPECT_EQ(status(), std::tuple(stat->blockId, std::uint32_t(text.size() * 2 + 2) * 2, text));
  EXPECT_EQ(std::tuple(MappingExists(BlockName(kPid, own)), stat->head.changeCount), std::tuple(false, 5u));
  ASSERT_EQ(connection_.GetBlockSize(geometry), 4096u);
  const auto* bytes = static_cast<const std::uint8_t*>(connection_.OpenBlock(geometry));
  EXPECT_EQ(std::count(bytes, bytes + 4096, 0x5A), 4096);
}

TEST(LivelinkVtableTest, EveryOperationKeepsItsSlot) {
  // slot, entry in the table
#define SLOT(n, name) EXPECT_EQ(EntryOf(&LiveConnection::name), (n) + 1) << #name " slot " #n
  SLOT(1, EnumConnections);
  SLOT(2, Create);
  SLOT(3, Destroy);
  SLOT(4, Open);
  SLOT(5, Close);
  SLOT(6, IsOwnerForeground);
  SLOT(7, IsOpen);
  SLOT(8, GetName);
  SLOT(9, CreateRecord);
  SLOT(10, DeleteRecord);
  SLOT(11, CountRecords);
  SLOT(12, FindRecord);
  SLOT(13, GetRecords);
  SLOT(14, SetRecordFlags);
  SLOT(15, ClearRecordFlags);
  SLOT(16, TestRecordFlags);
  SLOT(17, SetFlags);
  SLOT(18, ClearFlags);
  SLOT(19, TestFlags);
  SLOT(20, SetUpdateCount);
  SLOT(21, GetUpdateCount);
  SLOT(22, SetLabel);
  SLOT(23, GetLabel);
  SLOT(24, Lock);
  SLOT(25, Unlock);
  SLOT(26, CreateBlock);
  SLOT(27, ReleaseBlock);
  SLOT(28, OpenBlock);
  SLOT(29, CloseBlock);
  SLOT(30, Announce);
  SLOT(31, IsConnected);
  SLOT(32, Notify);
  SLOT(33, UpdateView);
  SLOT(34, UpdateStatus);
  SLOT(35, SetPeerText1);
  SLOT(36, GetPeerText1);
  SLOT(37, SetPeerText2);
  SLOT(38, GetPeerText2);
  SLOT(39, SetPeerValue);
  SLOT(40, GetPeerValue);
  SLOT(41, HasPeerTexts);
  SLOT(42, ConnectionExists);
  SLOT(43, RegisterConnection);
  SLOT(44, UnregisterConnection);
#undef SLOT
}
