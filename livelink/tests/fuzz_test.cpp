// Another process writes random values over the header and the record
// heads of a live control area while this process, as a guest, scans,
// reads, flags, deletes and creates records. Under AddressSanitizer any read
// or write outside a mapping fails the run; the loop is seeded and bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include "child_process.h"
#include "isolation.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using livelink_test::ChildProcess;
using livelink_test::UniqueName;

namespace {

int FuzzMilliseconds() {
  const char* text = std::getenv("LIVELINK_FUZZ_MS");
  return text != nullptr ? std::atoi(text) : 2500;
}

}  // namespace

TEST(LivelinkFuzzTest, GuestSurvivesAPeerScribblingOverTheArea) {
  const std::u16string name = UniqueName("fuzz");
  const unsigned seed = 20240611;
  LiveConnection creator;
  ASSERT_EQ(creator.Create(name, 24), 0);
  creator.UpdateStatus({{u"toolName", {0, u"fuzz"}}});
  for (int i = 0; i < 10; ++i) creator.CreateRecord(kTypeSurface);

  LiveConnection guest;
  ASSERT_EQ(guest.Open(name), 0);
  const std::string narrow(name.begin(), name.end());
  const int milliseconds = FuzzMilliseconds();
  auto scribbler = ChildProcess::Start(
      LIVELINK_PEER, {"scribble", narrow, std::to_string(seed), std::to_string(milliseconds)});
  ASSERT_NE(scribbler, nullptr);
  ASSERT_EQ(scribbler->WaitFor("scribbling", 10000), "scribbling");

  std::mt19937 random(seed);
  LinkReader reader(guest);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  unsigned long rounds = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const LinkSnapshot snapshot = reader.Read();
    for (const RecordInfo& record : snapshot.records) ASSERT_LT(record.slot, 24u);
    guest.CountRecords(kTypeSurface, static_cast<std::uint32_t>(random()), 1);
    guest.GetRecords(static_cast<std::uint32_t>(random() % 2 ? kTypeStat : random()), 0, 0);
    Record* found = guest.FindRecord(static_cast<std::uint32_t>(random() % 40));
    guest.SetRecordFlags(found, kFlagChanged);
    if (random() % 8 == 0) guest.DeleteRecord(static_cast<std::uint32_t>(random() % 40));
    if (random() % 8 == 0) guest.CreateRecord(static_cast<std::uint32_t>(random()));
    if (guest.Lock(0)) guest.Unlock();
    guest.OpenBlock(static_cast<std::uint32_t>(random() % 4));
    guest.HasPeerTexts();
    // The creator keeps publishing meanwhile, against the same noise.
    creator.UpdateStatus({{u"round", {1, std::u16string(rounds % 300, u'7')}}});
    creator.CountRecords(kTypeSurface, 1, 1);
    if (random() % 16 == 0) {
      // Reopening validates whatever the header holds right now.
      guest.Close();
      guest.Open(name);
      reader = LinkReader(guest);
    }
    ++rounds;
  }
  EXPECT_EQ(scribbler->WaitFor("done", 10000).rfind("done", 0), 0u);
  EXPECT_GT(rounds, 10u);
}
