// The renderer side calls the transport through its virtual table, so the
// position of every operation is protocol. Under the Itanium C++ ABI a
// pointer to a virtual member function holds 1 + the byte offset of its
// entry; the virtual destructor takes the first two entries (complete and
// deleting), so table slot n >= 1 sits at entry n + 1.
#include <gtest/gtest.h>

#include <cstring>

#include "livelink/live_connection.h"

using CorvantaAPI::LiveConnection;

namespace {

template <typename Member>
long EntryOf(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t words[2];
  std::memcpy(words, &member, sizeof words);
  if ((words[0] & 1) == 0) return -1;  // not virtual
  return static_cast<long>((words[0] - 1) / sizeof(void*));
}

}  // namespace

TEST(LivelinkSlotOrderTest, EveryOperationKeepsItsSlot) {
  // slot, entry in the table
#define SLOT(n, name) EXPECT_EQ(EntryOf(&LiveConnection::name), (n) + 1) << #name " slot " #n
  SLOT(1, EnumConnections); SLOT(2, Create); SLOT(3, Destroy); SLOT(4, Open);
  SLOT(5, Close); SLOT(6, IsOwnerForeground); SLOT(7, IsOpen); SLOT(8, GetName);
  SLOT(9, CreateRecord); SLOT(10, DeleteRecord); SLOT(11, CountRecords); SLOT(12, FindRecord);
  SLOT(13, GetRecords); SLOT(14, SetRecordFlags); SLOT(15, ClearRecordFlags); SLOT(16, TestRecordFlags);
  SLOT(17, SetFlags); SLOT(18, ClearFlags); SLOT(19, TestFlags); SLOT(20, SetUpdateCount);
  SLOT(21, GetUpdateCount); SLOT(22, SetLabel); SLOT(23, GetLabel); SLOT(24, Lock);
  SLOT(25, Unlock); SLOT(26, CreateBlock); SLOT(27, ReleaseBlock); SLOT(28, OpenBlock);
  SLOT(29, CloseBlock); SLOT(30, Announce); SLOT(31, IsConnected); SLOT(32, Notify);
  SLOT(33, UpdateView); SLOT(34, UpdateStatus); SLOT(35, SetPeerText1); SLOT(36, GetPeerText1);
  SLOT(37, SetPeerText2); SLOT(38, GetPeerText2); SLOT(39, SetPeerValue); SLOT(40, GetPeerValue);
  SLOT(41, HasPeerTexts); SLOT(42, ConnectionExists); SLOT(43, RegisterConnection); SLOT(44, UnregisterConnection);
#undef SLOT
}
