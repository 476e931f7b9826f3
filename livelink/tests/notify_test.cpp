// Waking the renderer: which processes' windows the search accepts, the
// message that reaches them, the cached window list, and notification from
// two threads at once. The windows belong to real child processes whose
// image path contains "velmar".
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "child_process.h"
#include "isolation.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;
using livelink_test::ChildProcess;
using livelink_test::UniqueName;

namespace {

constexpr int kWaitMs = 10000;
const std::string kWakeLine = "msg 34601 0 2";  // 0x8729, parameter 0, code 2

// A window of class className published by the window helper started from
// program, once it is up; null otherwise.
std::unique_ptr<ChildProcess> StartWindow(const std::string& className, bool hidden = false,
                                          const std::string& program = VELMAR_WINDOW_TOOL) {
  std::vector<std::string> args = {className, "Velmar 0.0.1"};
  if (hidden) args.push_back("hidden");
  auto child = ChildProcess::Start(program, args);
  if (child == nullptr) return nullptr;
  return child->WaitFor("hwnd", kWaitMs).empty() ? nullptr : std::move(child);
}

// Every line the window helper printed up to its exit: a message posted before
// its input closed is reported before it exits.
std::vector<std::string> LinesUntilExit(ChildProcess& child) {
  child.CloseInput();
  std::vector<std::string> lines;
  std::string line;
  while (child.ReadLine(&line, kWaitMs)) lines.push_back(line);
  return lines;
}

class LivelinkNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(connection_.Create(UniqueName("notify"), 4), CreateResult::kOk); }
  LiveConnection connection_;
};

}  // namespace

// The image path names the renderer: a velmar path takes a visible main
// window whose class contains START (compared upper-cased), a Brimsel path
// only the BRIMSEL EDITOR class. The same window program runs under both.
TEST_F(LivelinkNotifyTest, OnlyVisibleMainWindowsOfTheRenderersClassAreTargets) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("corv-brimsel-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string brimsel = (dir / "brimsel_window_tool").string();
  std::filesystem::copy_file(VELMAR_WINDOW_TOOL, brimsel);
  const struct {
    std::string program, accepted, refused;
  } renderers[] = {{VELMAR_WINDOW_TOOL, "velmar_start_window", "BRIMSEL EDITOR"},
                   {brimsel, "BRIMSEL EDITOR", "VELMAR_START_WINDOW"}};
  for (const auto& r : renderers) {
    auto wrongClass = StartWindow(r.refused, false, r.program);
    auto hidden = StartWindow(r.accepted, true, r.program);
    ASSERT_TRUE(wrongClass != nullptr && hidden != nullptr);
    EXPECT_EQ(std::tuple(FindRendererWindows().size(), connection_.Notify(kNotifyChanged, 0)),
              std::tuple(std::size_t{0}, -1));
    auto renderer = StartWindow(r.accepted, false, r.program);
    ASSERT_NE(renderer, nullptr);
    EXPECT_EQ(std::tuple(FindRendererWindows().size(), connection_.Notify(kNotifyChanged, 0)),
              std::tuple(std::size_t{1}, 0));
    EXPECT_EQ(renderer->WaitFor("msg", kWaitMs), kWakeLine);
    EXPECT_EQ(std::tuple(LinesUntilExit(*wrongClass), LinesUntilExit(*hidden)),
              std::tuple(std::vector<std::string>{}, std::vector<std::string>{}));
  }
  std::filesystem::remove_all(dir);
}

// One renderer window through camera updates, two notifying threads, its
// end and the next renderer: the cached window list is searched again.
TEST_F(LivelinkNotifyTest, ARendererIsWokenByNotifyAndActiveCamerasAndFoundAgainWhenReplaced) {
  auto first = StartWindow("VELMAR_START_WINDOW");
  ASSERT_NE(first, nullptr);
  // Ending the follow and inactive updates post nothing: the next message
  // is the marker posted after them.
  connection_.UpdateView(true, nullptr);
  connection_.UpdateView(false, nullptr);
  ASSERT_EQ(connection_.Notify(9, 1), 0);
  EXPECT_EQ(first->WaitFor("msg", kWaitMs), "msg 34601 1 9");
  const std::vector<std::uint8_t> camera(kCameraDataBytes, 1);
  connection_.UpdateView(true, camera.data());
  EXPECT_EQ(first->WaitFor("msg", kWaitMs), kWakeLine);

  // Two threads at once: each call posts or gives up, and every post arrives.
  std::atomic<int> posted{0};
  auto notifier = [&] {
    for (int i = 0; i < 25; ++i)
      if (connection_.Notify(kNotifyChanged, 0) == 0) ++posted;
  };
  { std::jthread a(notifier), b(notifier); }
  EXPECT_GT(posted.load(), 0);
  const std::vector<std::string> received = LinesUntilExit(*first);
  EXPECT_EQ(received, std::vector<std::string>(static_cast<std::size_t>(posted.load()), kWakeLine));

  ASSERT_NE(first->Wait(kWaitMs), -1);  // the renderer quit
  EXPECT_EQ(connection_.Notify(kNotifyChanged, 0), -1);
  auto second = StartWindow("VELMAR_START_WINDOW");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(connection_.Notify(kNotifyChanged, 0), 0);
  EXPECT_EQ(second->WaitFor("msg", kWaitMs), kWakeLine);
}
