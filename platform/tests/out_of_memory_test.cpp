// The Win32 calls when memory runs out part way. Each call is made again
// and again with its first, second, ... allocation failing (the countdown
// of failing_allocations.h, armed on this thread only) until
// a run needs no more. Every run must end as Windows ends such a call: the
// call returns its failure with ERROR_NOT_ENOUGH_MEMORY, or succeeds, and
// throws nothing at its C caller; and what a failed call made is gone: no
// descriptor, no view, and no object name that the next create would meet
// as "already exists" (which is how a start that ran out of memory once
// made every later start of that link report the file in use).
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/utf.h"
#include "failing_allocations.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

using namespace corvtest;

// The process's open descriptors, by number.
std::vector<int> OpenDescriptors() {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  while (const dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') fds.push_back(std::atoi(e->d_name));
  std::erase(fds, ::dirfd(dir));  // the listing's own
  ::closedir(dir);
  return fds;
}

// What one run of a call left: whether an allocation of it failed, and
// whether the call then still threw.
struct Run {
  bool failed = false;
  bool threw = false;
};

// Runs call with its n-th allocation failing.
template <typename Call>
Run FailingAt(long n, Call call) {
  Run run;
  testsupport::ArmAllocationFailure(n);
  try {
    call();
  } catch (...) {
    run.threw = true;
  }
  run.failed = testsupport::DisarmAllocationFailure();
  return run;
}

// For n = 1, 2, ...: call with its n-th allocation failing, then check
// (outside the countdown) what it left; until a run fails none.
template <typename Call, typename Check>
void ForEveryAllocation(Call call, Check check) {
  for (long n = 1;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
    const std::vector<int> before = OpenDescriptors();
    const Run run = FailingAt(n, call);
    EXPECT_FALSE(run.threw) << "an exception reached the C caller";
    check(run.failed);
    EXPECT_EQ(OpenDescriptors(), before) << "a descriptor was left open";
    if (!run.failed || ::testing::Test::HasFailure()) {
      EXPECT_GT(n, 1) << "the call allocates nothing: this run proves nothing";
      break;
    }
    ASSERT_LT(n, 10000) << "the call allocates without end";
  }
}

std::u16string Name(const std::string& what) {
  return base::FromUtf8("Corv/oom\\" + std::to_string(::getpid()) + "/" + what);
}

HANDLE CreateNamed(const std::u16string& name) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
}

// The name is free: a create makes a new object rather than joining one.
bool NameIsFree(const std::u16string& name) {
  HANDLE h = CreateNamed(name);
  const bool fresh = h != nullptr && GetLastError() == ERROR_SUCCESS;
  if (h != nullptr) CloseHandle(h);
  return fresh;
}

TEST(OutOfMemory, AMappingCallThatFailsLeavesNoObjectNameOrView) {
  // The runtime folder's descriptor is opened once, for the process's life.
  ASSERT_TRUE(NameIsFree(Name("first")));
  const std::u16string made = Name("made");
  HANDLE handle = nullptr;
  DWORD error = 0;
  ForEveryAllocation(
      [&] {
        handle = CreateNamed(made);
        error = handle == nullptr ? GetLastError() : 0;
      },
      [&](bool) {
        if (handle == nullptr) {
          EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY);
        } else {
          EXPECT_EQ(error, 0u);
          CloseHandle(handle);
        }
        EXPECT_TRUE(NameIsFree(made)) << "the name outlived the call's handle";
      });

  // Joining an object that another handle holds: a failed join leaves the
  // object to its holder, with its content.
  const std::u16string held = Name("held");
  HANDLE holder = CreateNamed(held);
  ASSERT_NE(holder, nullptr);
  void* holderView = MapViewOfFile(holder, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(holderView, nullptr);
  static_cast<char*>(holderView)[0] = 'k';
  for (const bool open : {false, true}) {
    SCOPED_TRACE(open ? "OpenFileMappingW" : "CreateFileMappingW of an existing name");
    ForEveryAllocation(
        [&] {
          handle = open ? OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, held.c_str()) : CreateNamed(held);
          error = handle == nullptr ? GetLastError() : 0;
        },
        [&](bool) {
          if (handle == nullptr) {
            EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY);
            return;
          }
          void* view = MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0);
          ASSERT_NE(view, nullptr);
          EXPECT_EQ(static_cast<const char*>(view)[0], 'k');
          UnmapViewOfFile(view);
          CloseHandle(handle);
        });
  }

  // A view: one that failed is unmapped and keeps nothing alive; the
  // mapping goes with its last handle as if the call had not been made.
  const std::u16string viewed = Name("viewed");
  void* view = nullptr;
  ForEveryAllocation(
      [&] {
        HANDLE h = CreateNamed(viewed);
        if (h == nullptr) return;
        view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        error = view == nullptr ? GetLastError() : 0;
        CloseHandle(h);
      },
      [&](bool) {
        if (view != nullptr) {
          EXPECT_EQ(static_cast<const char*>(view)[4095], 0);
          EXPECT_TRUE(UnmapViewOfFile(view));
          view = nullptr;
        } else if (error != 0) {
          EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY);
        }
        error = 0;
        EXPECT_TRUE(NameIsFree(viewed)) << "a failed view kept its mapping";
      });
  UnmapViewOfFile(holderView);
  CloseHandle(holder);
  EXPECT_TRUE(NameIsFree(held));
}

TEST(OutOfMemory, ARegistryCallThatFailsReturnsTheErrorAndLeavesTheStoreWhole) {
  const std::u16string path = u"Software\\CorvOom\\" + base::FromUtf8(std::to_string(::getpid())) + u"\\Links";
  const DWORD kept = 7;
  {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    ASSERT_EQ(RegSetValueExW(key, u"kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kept), sizeof kept), 0);
    RegCloseKey(key);
  }
  // What the key holds, read without a failure armed.
  const auto values = [&] {
    std::vector<platform::RegistryValue> read;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key) != 0) return read;
    EXPECT_EQ(platform::ReadRegistryValues(key, &read), 0);
    RegCloseKey(key);
    return read;
  };
  LSTATUS status = 0;
  HKEY key = nullptr;
  const auto memoryOrDone = [&] { EXPECT_TRUE(status == 0 || status == LSTATUS(ERROR_NOT_ENOUGH_MEMORY)) << status; };

  // Opening, creating (of a key that is there, and of one that is not).
  const std::u16string fresh = path + u"\\New";
  for (const bool create : {false, true}) {
    SCOPED_TRACE(create ? "RegCreateKeyExW" : "RegOpenKeyExW");
    ForEveryAllocation(
        [&] {
          key = nullptr;
          status = create ? RegCreateKeyExW(HKEY_CURRENT_USER, fresh.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                            &key, nullptr)
                          : RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key);
        },
        [&](bool) {
          memoryOrDone();
          EXPECT_EQ(key != nullptr, status == 0);
          if (key != nullptr) RegCloseKey(key);
          if (create) RegDeleteKeyW(HKEY_CURRENT_USER, fresh.c_str());
        });
  }

  // Writing a value: a write that failed leaves the old values, and one
  // that worked adds its own.
  HKEY open = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &open), 0);
  const DWORD added = 9;
  ForEveryAllocation(
      [&] { status = RegSetValueExW(open, u"added", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&added), 4); },
      [&](bool) {
        memoryOrDone();
        const std::vector<platform::RegistryValue> now = values();
        ASSERT_EQ(now.size(), status == 0 ? 2u : 1u);
        EXPECT_EQ(now[0].name, u"kept");
        if (status == 0) RegDeleteValueW(open, u"added");
      });
  const std::vector<std::u16string> gone = {u"kept"};
  ForEveryAllocation([&] { status = platform::DeleteRegistryValues(open, gone); },
                     [&](bool) {
                       memoryOrDone();
                       EXPECT_EQ(values().size(), status == 0 ? 0u : 1u);
                       if (status == 0)
                         RegSetValueExW(open, u"kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kept), 4);
                     });
  RegCloseKey(open);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str()), 0);
}

}  // namespace
