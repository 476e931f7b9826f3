// The project's extras on the real Win32 API (Windows builds only, run under
// Wine): view sizes and a mapping's life, registry listing, real windows of
// another process and their posted messages, process liveness, the runtime
// folder. The emulation's own tests check the same promises on Linux.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "child_process.h"
#include "isolation.h"
#include "platform/proc_stat.h"
#include "platform/win32.h"

namespace {

constexpr int kWaitMs = 10000;

std::string ToolPath(const std::string& tool) { return std::string(CORV_TOOLS_DIR) + "/" + tool + ".exe"; }

std::u16string Name(const char* what) {
  const std::string text = "Corv/native/" + std::to_string(GetCurrentProcessId()) + "/" + what;
  return std::u16string(text.begin(), text.end());
}

}  // namespace

TEST(WindowsNative, ViewsAreWholePagesAndAMappingLivesWhileAnyHandleOrViewDoes) {
  const std::u16string name = Name("view");
  HANDLE first = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10000, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 99999, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));  // joins; the size asked is ignored
  auto* view = static_cast<unsigned char*>(MapViewOfFile(second, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(platform::GetViewSize(view), 12288u);  // 10000 bytes in whole pages
  EXPECT_EQ(platform::GetMappingSize(first), 12288u);
  EXPECT_EQ(platform::GetViewSize(view + 4096), 0u);  // not the start of a view
  EXPECT_EQ(platform::GetViewSize(nullptr), 0u);
  EXPECT_EQ(platform::GetMappingSize(nullptr), 0u);
  EXPECT_FALSE(platform::IsViewBroken(view));
  EXPECT_EQ(view[11000], 0u);  // past the section's end: zeros, readable
  view[0] = 42;
  HANDLE reader = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
  ASSERT_NE(reader, nullptr);
  const auto* seen = static_cast<const unsigned char*>(MapViewOfFile(reader, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(seen[0], 42u);
  CloseHandle(first);
  CloseHandle(second);
  CloseHandle(reader);
  // With no handle left the name is gone, though the views still share the
  // memory (the emulation keeps the name while a view lives:
  // docs/windows.md). The same name then makes a new, zeroed section.
  view[1] = 7;
  EXPECT_EQ(seen[1], 7u);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HANDLE fresh = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  const auto* other = static_cast<const unsigned char*>(MapViewOfFile(fresh, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other[0], 0u);
  UnmapViewOfFile(other);
  CloseHandle(fresh);
  UnmapViewOfFile(seen);
  UnmapViewOfFile(view);
}

TEST(WindowsNative, RegistryValuesAreListedInOrderAndDeletedTogether) {
  const std::u16string path = u"Software\\CorvantaTest\\" + Name("registry").substr(12);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            0);
  const DWORD number = 7;
  const BYTE bytes[3] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExW(key, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"ab"), 6), 0);
  ASSERT_EQ(RegSetValueExW(key, u"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), 0);
  ASSERT_EQ(RegSetValueExW(key, u"Bytes", 0, REG_BINARY, bytes, 3), 0);
  std::vector<platform::RegistryValue> values;
  ASSERT_EQ(platform::ReadRegistryValues(key, &values), 0);
  ASSERT_EQ(values.size(), 3u);
  // In RegEnumValueW's order, which Windows leaves open (Wine's is by name,
  // the emulation's the order of first setting): compared by name here.
  std::map<std::u16string, std::pair<DWORD, std::vector<BYTE>>> byName;
  for (const auto& v : values) byName[v.name] = {v.type, v.data};
  const std::vector<BYTE> text = {'a', 0, 'b', 0, 0, 0};
  EXPECT_EQ(byName[u"Text"], std::pair(DWORD{REG_SZ}, text));
  EXPECT_EQ(byName[u"Number"], std::pair(DWORD{REG_DWORD}, std::vector<BYTE>{7, 0, 0, 0}));
  EXPECT_EQ(byName[u"Bytes"], std::pair(DWORD{REG_BINARY}, std::vector<BYTE>{1, 2, 3}));

  // Case-insensitive names; missing ones are passed over; none at all: not found.
  EXPECT_EQ(platform::DeleteRegistryValues(key, {u"NUMBER", u"Missing"}), 0);
  ASSERT_EQ(platform::ReadRegistryValues(key, &values), 0);
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(platform::DeleteRegistryValues(key, {u"Missing"}), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(platform::ReadRegistryValues(key, nullptr), static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str()), 0);
}

// The renderer's side: a real window of its class and title in another
// process, found by enumeration, receiving posted messages in its own queue.
TEST(WindowsNative, AnotherProcessWindowIsFoundAndReceivesPostedMessages) {
  auto peer = livelink_test::ChildProcess::Start(ToolPath("window_peer"), {"VELMAR_START", "Velmar native"});
  ASSERT_NE(peer, nullptr);
  const std::string hello = peer->WaitFor("hwnd", kWaitMs);
  unsigned long long main = 0, owned = 0;
  unsigned pid = 0;
  ASSERT_EQ(std::sscanf(hello.c_str(), "hwnd %llx %llx %u", &main, &owned, &pid), 3) << hello;
  HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(main));
  EXPECT_EQ(pid, static_cast<unsigned>(peer->pid()));

  struct Search {
    HWND want;
    bool found;
  } search{window, false};
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (h == s->want) s->found = true;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  EXPECT_TRUE(search.found);
  char16_t text[64] = {};
  EXPECT_EQ(GetClassNameW(window, text, 64), 12);
  EXPECT_EQ(std::u16string(text), u"VELMAR_START");
  EXPECT_EQ(GetWindowTextW(window, text, 64), 13);
  EXPECT_EQ(std::u16string(text), u"Velmar native");
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  EXPECT_EQ(owner, static_cast<DWORD>(pid));
  EXPECT_TRUE(IsWindowVisible(window));

  // wParam and lParam arrive whole, a negative lParam included.
  ASSERT_TRUE(PostMessageW(window, WM_USER + 7, 3, -5));
  EXPECT_EQ(peer->WaitFor("msg", kWaitMs), "msg " + std::to_string(WM_USER + 7) + " 3 -5");
  // Windows of another process are not this one's to change.
  EXPECT_FALSE(platform::SetPublishedWindowText(window, u"x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  peer->Send("title Renamed");
  EXPECT_EQ(peer->WaitFor("ok", kWaitMs), "ok");
  EXPECT_EQ(GetWindowTextW(window, text, 64), 7);
  peer->Send("destroy");
  EXPECT_EQ(peer->WaitFor("ok", kWaitMs), "ok");
  EXPECT_FALSE(IsWindow(window));
  peer->CloseInput();
  EXPECT_EQ(peer->Wait(kWaitMs), 0);
}

TEST(WindowsNative, OwnWindowsRefuseBadDescriptionsAndTimeOutWithoutMessages) {
  EXPECT_EQ(platform::CreatePublishedWindow({u"", u"t", nullptr, true}), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(
      platform::CreatePublishedWindow({u"C", std::u16string(platform::kMaxWindowTextUnits + 1, u'x'), nullptr, true}),
      nullptr);
  EXPECT_EQ(platform::CreatePublishedWindow({u"C", u"t", reinterpret_cast<HWND>(std::uintptr_t{0x7fff0}), true}),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  HWND window = platform::CreatePublishedWindow({u"CorvNativeOwn", u"Own", nullptr, false});
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  platform::PostedMessage m;
  EXPECT_FALSE(platform::ReceivePostedMessage(window, &m, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  ASSERT_TRUE(PostMessageW(window, WM_APP + 1, 11, 22));
  ASSERT_TRUE(platform::ReceivePostedMessage(window, &m, kWaitMs));
  EXPECT_EQ(std::tuple(m.message, m.wParam, m.lParam), std::tuple(UINT{WM_APP + 1}, WPARAM{11}, LPARAM{22}));
  EXPECT_TRUE(platform::DestroyPublishedWindow(window));
  EXPECT_FALSE(platform::DestroyPublishedWindow(window));
  EXPECT_FALSE(platform::ReceivePostedMessage(window, &m, 0));
}

TEST(WindowsNative, ALiveProcessIsToldFromAKilledOneAndTheRuntimeFolderIsMade) {
  platform::ProcStat self;
  ASSERT_TRUE(platform::ReadProcStat(GetCurrentProcessId(), &self));
  EXPECT_EQ(self.state, 'R');
  EXPECT_TRUE(platform::ProcessIsAlive(GetCurrentProcessId(), self.startTime));
  EXPECT_FALSE(platform::ProcessIsAlive(GetCurrentProcessId(), self.startTime + 1));  // a later process of that id

  auto peer = livelink_test::ChildProcess::Start(ToolPath("window_peer"), {"CorvVictim", "Victim", "hidden"});
  ASSERT_NE(peer, nullptr);
  ASSERT_NE(peer->WaitFor("hwnd", kWaitMs), "");
  platform::ProcStat child;
  ASSERT_TRUE(platform::ReadProcStat(static_cast<std::uint32_t>(peer->pid()), &child));
  EXPECT_TRUE(platform::ProcessIsAlive(static_cast<std::uint32_t>(peer->pid()), child.startTime));
  peer->Signal(SIGKILL);
  ASSERT_NE(peer->Wait(kWaitMs), -1);
  EXPECT_FALSE(platform::ProcessIsAlive(static_cast<std::uint32_t>(peer->pid()), child.startTime));

  const std::string dir = platform::RuntimeDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir, livelink_test::Isolated().root() + "\\run");
  EXPECT_NE(GetFileAttributesA(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}
