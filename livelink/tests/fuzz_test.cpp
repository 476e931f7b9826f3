// Another process writes random values over the header and the record
// heads of a live control area while this process, as a guest, scans,
// reads, flags, deletes and creates records. Under AddressSanitizer any read
// or write outside a mapping fails the run; the loop runs a fixed number of
// rounds from a printed seed.
#include <gtest/gtest.h>

#include <cstdio>
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

// LIVELINK_FUZZ_ROUNDS and LIVELINK_FUZZ_SEED override the defaults; the
// seed is printed so that a failing run can be replayed.
unsigned long EnvNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoul(text, nullptr, 10) : fallback;
}

}  // namespace

TEST(LivelinkFuzzTest, GuestSurvivesAPeerScribblingOverTheArea) {
  const std::u16string name = UniqueName("fuzz");
  const auto seed = static_cast<unsigned>(EnvNumber("LIVELINK_FUZZ_SEED", 20240611));
  const unsigned long rounds = EnvNumber("LIVELINK_FUZZ_ROUNDS", 4000);
  std::printf("fuzz seed %u, %lu rounds (LIVELINK_FUZZ_SEED, LIVELINK_FUZZ_ROUNDS)\n", seed, rounds);
  RecordProperty("seed", static_cast<int>(seed));
  LiveConnection creator;
  ASSERT_EQ(creator.Create(name, 24), 0);
  creator.UpdateStatus({{u"toolName", {0, u"fuzz"}}});
  for (int i = 0; i < 10; ++i) creator.CreateRecord(kTypeSurface);

  LiveConnection guest;
  ASSERT_EQ(guest.Open(name), 0);
  const std::string narrow(name.begin(), name.end());
  // The scribbler runs until it is killed after the last round.
  auto scribbler = ChildProcess::Start(LIVELINK_PEER, {"scribble", narrow, std::to_string(seed)});
  ASSERT_NE(scribbler, nullptr);
  ASSERT_EQ(scribbler->WaitFor("scribbling", 10000), "scribbling");

  std::mt19937 random(seed);
  LinkReader reader(guest);
  for (unsigned long round = 0; round < rounds; ++round) {
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
    creator.UpdateStatus({{u"round", {1, std::u16string(round % 300, u'7')}}});
    creator.CountRecords(kTypeSurface, 1, 1);
    if (random() % 16 == 0) {
      // Reopening validates whatever the header holds right now.
      guest.Close();
      guest.Open(name);
      reader = LinkReader(guest);
    }
  }
  // The scribbler met the same checked code as a guest: it must still run.
  EXPECT_EQ(scribbler->Wait(0), -1) << "the scribbling peer ended early";
}
