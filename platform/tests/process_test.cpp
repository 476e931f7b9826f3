// Processes as the renderer search sees them, and programs started for the
// user: real children, real /proc.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../src/utf16.h"
#include "base/utf.h"
#include "platform/proc_stat.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

using corvtest::ToolPath;
namespace fs = std::filesystem;

std::u16string wide(const std::string& s) { return base::FromUtf8(s); }

// Polls until ready() holds; false after ten seconds.
bool Await(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready())
    if (std::chrono::steady_clock::now() > deadline) return false;
    else std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return true;
}
// A file that a child writes with rename; empty when it does not come.
std::string awaitFile(const std::string& path) {
  std::stringstream s;
  if (Await([&] { return fs::exists(path); })) s << std::ifstream(path).rdbuf();
  return s.str();
}
// True once pid is gone from /proc entirely (so it was reaped, not a zombie).
bool awaitGone(DWORD pid) {
  platform::detail::ProcStat st;
  return Await([&] { return !platform::detail::ReadProcStat(pid, &st); });
}

std::vector<DWORD> processIds() {
  std::vector<DWORD> ids(4096);
  DWORD bytes = 0;
  EXPECT_TRUE(K32EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes));
  ids.resize(bytes / sizeof(DWORD));
  return ids;
}

std::string scratch(const std::string& name) {
  const std::string dir = corvtest::IsolatedRoot() + "/" + name;
  fs::create_directories(dir);
  return dir;
}

TEST(Processes, EnumerationSeesAStartedChildItsImagePathAndTheWin32BufferRules) {
  DWORD pid = 0;
  ASSERT_TRUE(platform::StartDetachedProcess(wide(ToolPath("proc_peer")), {u"wait", u"30"}, u"", false, u"", &pid));
  const auto ids = processIds();
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_NE(std::find(ids.begin(), ids.end(), pid), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), GetCurrentProcessId()), ids.end());

  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  ASSERT_NE(h, nullptr) << GetLastError();
  const std::u16string expected = wide(fs::canonical(ToolPath("proc_peer")).string());
  char16_t path[MAX_PATH];
  DWORD chars = MAX_PATH;
  ASSERT_TRUE(QueryFullProcessImageNameW(h, 0, path, &chars));
  EXPECT_EQ(std::u16string(path, chars), expected);

  // Exactly length + 1 fits; one less is too small and changes nothing; no
  // buffer or a closed handle is an error. Each: the result, the error, the count.
  const DWORD length = static_cast<DWORD>(expected.size());
  const auto query = [&](char16_t* buffer, DWORD room) {
    const BOOL ok = QueryFullProcessImageNameW(h, 0, buffer, &room);
    return std::tuple(ok, ok ? DWORD(0) : GetLastError(), room);
  };
  EXPECT_EQ(query(path, length + 1), std::tuple(TRUE, DWORD(0), length));
  EXPECT_EQ(query(path, length), std::tuple(FALSE, DWORD(ERROR_INSUFFICIENT_BUFFER), length));
  EXPECT_EQ(std::get<1>(query(nullptr, length)), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(std::get<1>(query(path, MAX_PATH)), DWORD(ERROR_INVALID_HANDLE));

  // Killed, it is reaped in the background: no zombie stays.
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  EXPECT_TRUE(awaitGone(pid));
  const auto refused = [](DWORD access, DWORD id) {
    return OpenProcess(access, FALSE, id) == nullptr ? GetLastError() : 0;
  };
  EXPECT_EQ(refused(PROCESS_QUERY_LIMITED_INFORMATION, pid), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(refused(PROCESS_QUERY_LIMITED_INFORMATION, 0), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(refused(0x0001 /* terminate */, GetCurrentProcessId()), DWORD(ERROR_ACCESS_DENIED));

  // A full buffer: the caller must retry with more room; partial ids are not written.
  DWORD two[2] = {0, 0}, bytes = 0, partial = 0;
  ASSERT_TRUE(K32EnumProcesses(two, sizeof two, &bytes) && K32EnumProcesses(two, 7, &partial));
  EXPECT_EQ(std::tuple(bytes, partial), std::tuple(DWORD(sizeof two), 4u));
}

// The renderer is started detached: in the given directory, with exact
// arguments no shell sees, its show state, no handle of ours, nothing to read,
// its own log for output and error, and a session of its own.
TEST(Processes, DetachedProgramGetsExactArgumentsItsOwnLogAndSession) {
  const std::string root = corvtest::IsolatedRoot();
  const std::string dir = scratch("start dir");
  const std::string report = root + "/report.txt", log = root + "/peer.log";
  std::ofstream(log) << "earlier run\n";
  DWORD pid = 0;
  ASSERT_TRUE(platform::StartDetachedProcess(
      wide(ToolPath("proc_peer")), {u"report", wide(report), u"two words", u"$(touch pwned); x", u"", u"\u00e4\u20ac"},
      wide(dir), true, wide(log), &pid));
  const std::string logPath = fs::canonical(log).string();
  EXPECT_EQ(awaitFile(report),
            "cwd=" + fs::canonical(dir).string() + "\nshow=3\nfds=0\nin=/dev/null\nout=" + logPath + "\nerr=" +
                logPath + "\nleader=1\narg=two words\narg=$(touch pwned); x\narg=\narg=\xc3\xa4\xe2\x82\xac\n");
  EXPECT_FALSE(fs::exists(dir + "/pwned"));
  EXPECT_TRUE(awaitGone(pid));
  // Appended after what was there, output and error alike.
  EXPECT_EQ(awaitFile(log), "earlier run\nproc_peer output\nproc_peer error output\n");

  // A log that cannot be opened costs the log, not the start; not maximised
  // is the normal show state.
  fs::remove(report);
  ASSERT_TRUE(platform::StartDetachedProcess(wide(ToolPath("proc_peer")), {u"report", wide(report)}, u"", false,
                                             wide(root + "/no-such-folder/peer.log"), nullptr));
  const std::string text = awaitFile(report);
  EXPECT_NE(text.find("\nshow=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nin=/dev/null\nout=/dev/null\nerr=/dev/null\nleader=1\n"), std::string::npos) << text;
}

TEST(Processes, StartFailuresAreReported) {
  const std::string file = corvtest::IsolatedRoot() + "/not-a-program";
  std::ofstream(file) << "data";  // a plain file without execute permission
  const struct {
    std::u16string program;
    std::vector<std::u16string> args;
    std::u16string directory;
    DWORD error;
  } cases[] = {
      {u"/nonexistent/velmar", {}, u"", ERROR_FILE_NOT_FOUND},
      {u"no-such-program-corv", {}, u"", ERROR_FILE_NOT_FOUND},
      {wide(ToolPath("proc_peer")), {}, u"/nonexistent/dir", ERROR_DIRECTORY},
      {wide(ToolPath("proc_peer")), {std::u16string(u"a\0b", 3)}, u"", ERROR_INVALID_PARAMETER},
      {u"", {}, u"", ERROR_INVALID_PARAMETER},
      {wide(file), {}, u"", ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(platform::StartDetachedProcess(c.program, c.args, c.directory, false, u"", nullptr));
    EXPECT_EQ(GetLastError(), c.error) << std::string(c.program.begin(), c.program.end());
  }
}

TEST(Processes, OpenUrlPassesTheAddressAsOneUninterpretedArgument) {
  const std::string root = corvtest::IsolatedRoot();
  const std::string log = root + "/opener.log";
  ::setenv("CORV_URL_OPENER", ToolPath("proc_peer").c_str(), 1);
  ::setenv("CORV_TEST_OPENER_LOG", log.c_str(), 1);
  const std::string address =
      "https://example.org/a?b=1&c=2; touch " + root + "/pwned & $(touch " + root + "/pwned) `id` | cat 'q\" \\";
  ASSERT_TRUE(platform::OpenUrl(wide(address)));
  EXPECT_EQ(awaitFile(log), "argc=1\narg=" + address + "\n");
  EXPECT_FALSE(fs::exists(root + "/pwned"));

  EXPECT_FALSE(platform::OpenUrl(u"--help"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(platform::OpenUrl(u""));
  EXPECT_FALSE(platform::OpenUrl(std::u16string(u"https://x\0y", 11)));
  ::setenv("CORV_URL_OPENER", (root + "/no-such-opener").c_str(), 1);
  EXPECT_FALSE(platform::OpenUrl(u"https://example.org"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ::unsetenv("CORV_URL_OPENER");
  ::unsetenv("CORV_TEST_OPENER_LOG");
}

}  // namespace
