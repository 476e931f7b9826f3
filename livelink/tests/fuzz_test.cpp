// Another process writes random values over the header and the record
// heads of a live control area while this process, as a guest, scans,
// reads, flags, deletes and creates records. Under AddressSanitizer any read
// or write outside a mapping fails the run; the loop runs a fixed number of
// rounds from a fixed seed, so a failure replays.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "child_process.h"
#include "isolation.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using livelink_test::ChildProcess;
using livelink_test::UniqueName;

TEST(LivelinkFuzzTest, GuestSurvivesAPeerScribblingOverTheArea) {
  const std::u16string name = UniqueName("fuzz");
  constexpr unsigned seed = 20240611;
  constexpr unsigned long rounds = 4000;
  LiveConnection creator;
  ASSERT_EQ(creator.Create(name, 24), CreateResult::kOk);
  creator.UpdateStatus({{u"toolName", {0, u"fuzz"}}});
  for (int i = 0; i < 10; ++i) ASSERT_NE(creator.CreateRecord(kTypeSurface), nullptr);

  LiveConnection guest;
  ASSERT_EQ(guest.Open(name), 0);
  // The scribbler runs until it is killed after the last round.
  auto scribbler =
      ChildProcess::Start(LIVELINK_PEER, {"scribble", std::string(name.begin(), name.end()), std::to_string(seed)});
  ASSERT_TRUE(scribbler != nullptr && scribbler->WaitFor("scribbling", 10000) == "scribbling");

  std::mt19937 random(seed);
  LinkReader reader(guest);
  for (unsigned long round = 0; round < rounds; ++round) {
    const LinkSnapshot snapshot = reader.Read();
    for (const RecordInfo& record : snapshot.records) ASSERT_LT(record.slot, 24u);
    guest.CountRecords(kTypeSurface, static_cast<std::uint32_t>(random()), 1);
    guest.GetRecords(static_cast<std::uint32_t>(random() % 2 ? kTypeStat : random()), 0, 0);
    Record* found = guest.FindRecord(static_cast<std::uint32_t>(random() % 40));
    guest.SetRecordFlags(found, kFlagChanged);
    // Whatever the scribbled slots hold, these may succeed or be refused;
    // they must not read or write outside the area.
    if (random() % 8 == 0) (void)guest.DeleteRecord(static_cast<std::uint32_t>(random() % 40));
    if (random() % 8 == 0) (void)guest.CreateRecord(static_cast<std::uint32_t>(random()));
    if (guest.Lock(0)) guest.Unlock();
    guest.OpenBlock(static_cast<std::uint32_t>(random() % 4));
    guest.HasPeerTexts();
    // The creator keeps publishing meanwhile, against the same noise.
    creator.UpdateStatus({{u"round", {1, std::u16string(round % 300, u'7')}}});
    creator.CountRecords(kTypeSurface, 1, 1);
    if (random() % 16 == 0) {
      // Reopening validates whatever the header holds right now.
      guest.Close();
      // A header the creator is rewriting may well be refused: the reader
      // must cope with a closed guest as with an open one.
      (void)guest.Open(name);
      reader = LinkReader(guest);
    }
  }
  // The scribbler met the same checked code as a guest: it must still run.
  EXPECT_EQ(scribbler->Wait(0), -1) << "the scribbling peer ended early";
}
