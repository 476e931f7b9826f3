// Windows published by other processes: found, read, posted to, and gone
// with their process.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/utf.h"
#include "platform/proc_stat.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

using namespace corvtest;

struct Published {
  HWND main = nullptr;
  HWND owned = nullptr;
  DWORD pid = 0;
};

Published parseHello(const std::string& line) {
  Published p;
  unsigned long long main = 0, owned = 0;
  unsigned pid = 0;
  if (std::sscanf(line.c_str(), "hwnd %llx %llx %u", &main, &owned, &pid) == 3) {
    p.main = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(main));
    p.owned = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(owned));
    p.pid = pid;
  }
  return p;
}

std::vector<HWND> allWindows() {
  std::vector<HWND> result;
  EnumWindows([](HWND h, LPARAM p) -> BOOL { return reinterpret_cast<std::vector<HWND>*>(p)->push_back(h), TRUE; },
              reinterpret_cast<LPARAM>(&result));
  return result;
}

std::u16string className(HWND h) {
  char16_t buffer[260];
  return std::u16string(buffer, static_cast<std::size_t>(GetClassNameW(h, buffer, 260)));
}
std::u16string title(HWND h) {
  char16_t buffer[520];
  return std::u16string(buffer, static_cast<std::size_t>(GetWindowTextW(h, buffer, 520)));
}

// What a caller can learn of a window, in one line: class, title, whether
// the thread query succeeds and the pid it gives, owner, visible, and how
// often the walk lists it.
std::string Describe(HWND h) {
  DWORD pid = 123;
  const bool thread = GetWindowThreadProcessId(h, &pid) != 0;
  const auto windows = allWindows();
  return base::ToUtf8(className(h)) + "|" + base::ToUtf8(title(h)) + "|" + std::to_string(thread) + " " +
         std::to_string(pid) + "|" + std::to_string(reinterpret_cast<std::uintptr_t>(GetWindow(h, GW_OWNER))) + "|" +
         std::to_string(IsWindowVisible(h) ? 1 : 0) + "|" +
         std::to_string(std::count(windows.begin(), windows.end(), h));
}

std::string recordFile(HWND h) {
  char name[32];
  std::snprintf(name, sizeof name, "/%08llx.json",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h)));
  return platform::RuntimeDirectory() + "/windows" + name;
}

TEST(Windows, AnotherProcessWindowIsFoundReadAndReceivesMessages) {
  Peer peer = StartTool("window_peer", {"VelmarSTARTWindow", "Velmar 8.3.0 \xc3\xa4", "owned"});
  const Published p = parseHello(Line(peer));
  ASSERT_NE(p.main, nullptr);
  ASSERT_EQ(p.pid, static_cast<DWORD>(peer->pid()));

  const std::string pid = std::to_string(p.pid), main = std::to_string(reinterpret_cast<std::uintptr_t>(p.main));
  EXPECT_EQ(Describe(p.main), "VelmarSTARTWindow|Velmar 8.3.0 \xc3\xa4|1 " + pid + "|0|1|1");
  EXPECT_EQ(Describe(p.owned), "#32770|Owned|1 " + pid + "|" + main + "|1|1");

  // Win32 truncation: n - 1 units and a NUL.
  char16_t small[6] = {u'x', u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(GetClassNameW(p.main, small, 6), 5);
  EXPECT_EQ(std::u16string(small), u"Velma");

  // Changes made by the owner are seen here.
  EXPECT_EQ(Ask(peer, "title Velmar 9.0") + Ask(peer, "show 0"), "okok");
  EXPECT_EQ(Describe(p.main), "VelmarSTARTWindow|Velmar 9.0|1 " + pid + "|0|0|1");
  EXPECT_TRUE(IsWindow(p.main));

  // Exact values, extremes included, arrive in order.
  ASSERT_TRUE(PostMessageW(p.main, 0x8729, 0, 2));
  ASSERT_TRUE(PostMessageW(p.main, 0xFFFFFFFFu, UINTPTR_MAX, INTPTR_MIN));
  EXPECT_EQ(Line(peer), "msg 34601 0 2");
  EXPECT_EQ(Line(peer), "msg 4294967295 18446744073709551615 -9223372036854775808");

  EXPECT_EQ(Ask(peer, "destroy"), "ok");
  EXPECT_FALSE(IsWindow(p.main));
  EXPECT_FALSE(PostMessageW(p.main, 1, 2, 3));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(::access(recordFile(p.main).c_str(), F_OK), -1);
}

// Records left by a killed process, by an earlier process with our pid (its
// start time differs) or damaged name no window: every query says so, the
// walk skips them, and the first look removes a dead one with its socket.
TEST(Windows, RecordsOfDeadProcessesAndDamagedRecordsAreNoWindows) {
  const auto expectGone = [](HWND h) {
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PostMessageW(h, 0x8729, 0, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(Describe(h), "||0 0|0|0|0");
  };
  Peer peer = StartTool("window_peer", {"START", "Velmar 8.3"});
  const Published p = parseHello(Line(peer));
  ASSERT_TRUE(IsWindow(p.main));
  peer.reset();
  ASSERT_EQ(::access(recordFile(p.main).c_str(), F_OK), 0) << "the record outlives a killed process";
  expectGone(p.main);
  std::string sock = recordFile(p.main);
  EXPECT_EQ(::access(sock.c_str(), F_OK), -1);
  EXPECT_EQ(::access(sock.replace(sock.size() - 5, 5, ".sock").c_str(), F_OK), -1);

  platform::detail::ProcStat self;
  ASSERT_TRUE(platform::detail::ReadProcStat(GetCurrentProcessId(), &self));
  const HWND planted = reinterpret_cast<HWND>(std::uintptr_t{0x7fff0000});
  const auto record = [&](unsigned long long startTime) {
    return R"({"hwnd": 2147418112, "pid": )" + std::to_string(GetCurrentProcessId()) + R"(, "tid": 1, "startTime": )" +
           std::to_string(startTime) +
           R"(, "class": "START", "title": "Velmar 1.0", "owner": 0, "visible": true, "socket": "/nonexistent"})";
  };
  // With the right start time the record is a window (the format is all a
  // renderer needs to publish one), though one whose socket is missing.
  std::ofstream(recordFile(planted)) << record(self.startTime);
  EXPECT_TRUE(IsWindow(planted));
  EXPECT_FALSE(PostMessageW(planted, 1, 0, 0));
  const std::string damaged[] = {
      record(self.startTime + 1),
      "",
      "{",
      "[]",
      R"({"hwnd": "x"})",
      R"({"hwnd": 2147418112, "pid": -1, "tid": 1, "startTime": 0, "class": "A", "title": "", "owner": 0, "visible": true, "socket": ""})"};
  for (const std::string& text : damaged) {
    std::ofstream(recordFile(planted)) << text;
    expectGone(planted);
    if (&text == damaged) {
      EXPECT_EQ(::access(recordFile(planted).c_str(), F_OK), -1);  // removed as dead
    }
  }
}

TEST(Windows, PostingToAFullQueueFailsWithoutBlocking) {
  Peer peer = StartTool("window_peer", {"START", "deaf", "deaf"});
  const Published p = parseHello(Line(peer));
  ASSERT_NE(p.main, nullptr);
  int posted = 0;  // a blocking post would hang here until the test's timeout
  while (posted < 1000000 && PostMessageW(p.main, 0x8729, 0, 2)) ++posted;
  EXPECT_TRUE(posted > 0 && posted < 1000000) << posted;
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
}

// The foreground is the last activated live window, of any process: a
// destroyed or dead one is none. A walk's callback that stops keeps its last
// error for the caller, which is how a search tells "found" from "failed".
TEST(Windows, ForegroundFollowsTheLastActivatedLiveWindow) {
  Peer peer = StartTool("window_peer", {"HostMain", "Host", "foreground"});
  const Published p = parseHello(Line(peer));
  ASSERT_NE(p.main, nullptr);
  EXPECT_EQ(GetForegroundWindow(), p.main);
  EXPECT_EQ(allWindows().front(), p.main);  // the foreground window leads the z-order
  SetLastError(0);
  EXPECT_FALSE(EnumWindows([](HWND, LPARAM) -> BOOL { return SetLastError(0xFFFFFFFF), FALSE; }, 0));
  EXPECT_EQ(GetLastError(), 0xFFFFFFFFu);

  HWND mine = platform::CreatePublishedWindow({u"Mine", u"", nullptr, true});
  ASSERT_TRUE(SetForegroundWindow(mine));
  EXPECT_TRUE(platform::DestroyPublishedWindow(mine));
  EXPECT_EQ(GetForegroundWindow(), nullptr);
  EXPECT_FALSE(SetForegroundWindow(mine));
  ASSERT_TRUE(SetForegroundWindow(p.main));
  peer.reset();
  EXPECT_EQ(GetForegroundWindow(), nullptr);
}

// Handles are unique across processes and a destroyed one never comes back;
// calls on it fail with the invalid-handle error instead of reaching another
// window.
TEST(Windows, HandlesAreUniqueAcrossProcessesAndNeverReused) {
  std::vector<Peer> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(StartTool("window_peer", {"C", "T", "owned"}));
  std::set<HWND> seen = {nullptr};
  const HWND own = platform::CreatePublishedWindow({u"C", u"T", nullptr, true});
  EXPECT_TRUE(seen.insert(own).second);
  for (auto& peer : peers) {
    const Published p = parseHello(Line(peer));
    EXPECT_TRUE(seen.insert(p.main).second);
    EXPECT_TRUE(seen.insert(p.owned).second);
  }
  EXPECT_TRUE(platform::DestroyPublishedWindow(own));
  EXPECT_FALSE(platform::DestroyPublishedWindow(own));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(platform::SetPublishedWindowText(own, u"x"));
  EXPECT_EQ(platform::CreatePublishedWindow({u"C", u"t", own, true}), nullptr);  // dead owner
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(nullptr) || PostMessageW(nullptr, 1, 0, 0));
  HWND after = platform::CreatePublishedWindow({u"C", u"T", nullptr, true});
  EXPECT_GT(reinterpret_cast<std::uintptr_t>(after), reinterpret_cast<std::uintptr_t>(*seen.rbegin()));
  platform::DestroyPublishedWindow(after);
}

}  // namespace
