// The registry stand-in as the add-on, the link and the renderer use it:
// result codes, buffer-size rules, names, keys, damaged store files, a stuck
// lock, handles shared between threads, and writers in two processes (one
// killed midway). Each test gets fresh store roots.
#include "platform/win32.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corv-regtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("CORV_REGISTRY_HKCU", (dir_ / "hkcu").c_str(), 1);
    ::setenv("CORV_REGISTRY_HKLM", (dir_ / "hklm").c_str(), 1);
    ::setenv("CORV_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  }
  void TearDown() override {
    for (HKEY k : open_) RegCloseKey(k);
    fs::remove_all(dir_);
  }

  HKEY Create(const char16_t* path, HKEY root = HKEY_CURRENT_USER, DWORD* disposition = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition), 0);
    open_.push_back(k);
    return k;
  }
  static LSTATUS SetDword(HKEY k, const char16_t* name, DWORD v) {
    return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  }
  static LSTATUS SetText(HKEY k, const char16_t* name, std::u16string_view text) {
    return RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>((text.size() + 1) * 2));
  }
  static DWORD GetDword(HKEY k, const char16_t* name, LSTATUS expect = 0) {
    DWORD v = 0xDEADBEEF;
    DWORD size = sizeof v;
    EXPECT_EQ(RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size), expect);
    return v;
  }
  static std::vector<std::u16string> Names(HKEY k) {
    std::vector<platform::RegistryValue> values;
    EXPECT_EQ(platform::ReadRegistryValues(k, &values), 0);
    std::vector<std::u16string> names;
    for (const auto& v : values) names.push_back(v.name);
    return names;
  }
  static DWORD ValueCount(HKEY k) {
    DWORD count = 0;
    EXPECT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                               nullptr, nullptr),
              0);  // never a torn file
    return count;
  }
  static std::u16string Name(char prefix, int i) {
    const std::string ascii = prefix + std::to_string(i);
    return std::u16string(ascii.begin(), ascii.end());
  }
  // A second process writing count values <prefix><i> = i into the key, each
  // through its own write; it exits 0 when every write succeeded.
  static pid_t StartWriter(const char16_t* subKey, char prefix, int count) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
      ::_exit(1);
    for (int i = 0; i < count; ++i)
      if (SetDword(key, Name(prefix, i).c_str(), static_cast<DWORD>(i)) != 0) ::_exit(1);
    ::_exit(0);
  }
  static int Wait(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
  }
  fs::path KeyDir(const std::string& rel) const { return dir_ / "hkcu" / rel; }
  static std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
  }

  fs::path dir_;
  std::vector<HKEY> open_;
};

TEST_F(Registry, ValuesRoundTripByTypeWithAnyCharactersInTheirOwnRoot) {
  HKEY k = Create(u"Software\\Torvik\\Settings");
  const std::u16string tricky = u"D:\\Projects\\\"House\"\n\t.dae\x01 ä€𝄞";
  ASSERT_EQ(SetDword(k, tricky.c_str(), 3), 0);
  ASSERT_EQ(SetText(k, u"Büro", tricky), 0);
  const BYTE blob[] = {0, 1, 0xFE, 0xFF, 0x80};
  ASSERT_EQ(RegSetValueExW(k, u"Blob", 0, REG_BINARY, blob, sizeof blob), 0);

  // Read back through a second handle: the store, not a cache, answers.
  HKEY again = Create(u"Software\\Torvik\\Settings");
  DWORD type = 0;
  char16_t text[64] = {};
  DWORD size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(again, u"Büro", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), 0);
  EXPECT_EQ(std::tuple(type, size, std::u16string(text)),
            std::tuple(DWORD(REG_SZ), DWORD((tricky.size() + 1) * 2), tricky));
  BYTE got[16] = {};
  size = sizeof got;
  ASSERT_EQ(RegQueryValueExW(again, u"Blob", nullptr, &type, got, &size), 0);
  EXPECT_EQ(std::tuple(type, std::vector<BYTE>(got, got + size)),
            std::tuple(DWORD(REG_BINARY), std::vector<BYTE>(blob, blob + sizeof blob)));

  // The machine's root is a store of its own; one that does not exist yet
  // holds nothing, and reading does not make it.
  HKEY machine = Create(u"Software\\Torvik\\Settings", HKEY_LOCAL_MACHINE);
  ASSERT_EQ(SetDword(machine, tricky.c_str(), 4), 0);
  EXPECT_EQ(std::tuple(GetDword(again, tricky.c_str()), GetDword(machine, tricky.c_str())), std::tuple(3u, 4u));
  ::setenv("CORV_REGISTRY_HKLM", (dir_ / "none").c_str(), 1);
  HKEY none = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dir_ / "none"));
}

TEST_F(Registry, BufferSizeRulesOfQueryAndSubKeyEnumeration) {
  HKEY k = Create(u"Software\\Torvik\\Sizes");
  ASSERT_EQ(SetText(k, u"Name", u"Velmar 9"), 0);  // 9 units with the NUL: 18 bytes
  DWORD type = 0;
  DWORD size = 0;
  // No buffer: success and the size, the NUL counted.
  ASSERT_EQ(RegQueryValueExW(k, u"Name", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(std::tuple(size, type), std::tuple(18u, DWORD(REG_SZ)));
  // Too small by one byte: 234 and the size needed; nothing past the buffer.
  BYTE buf[32];
  std::memset(buf, 0xAA, sizeof buf);
  size = 17;
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(std::tuple(size, buf[17]), std::tuple(18u, 0xAA));
  size = 18;
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, buf, &size), 0);
  // A DWORD into a 4-byte buffer is what the connection list reads; 8 bytes
  // of data do not fit.
  const BYTE eight[8] = {1};
  ASSERT_EQ(RegSetValueExW(k, u"Wide", 0, REG_BINARY, eight, 8), 0);
  EXPECT_EQ(GetDword(k, u"Wide", ERROR_MORE_DATA), 0xDEADBEEFu);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(k, u"Nope", nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);

  // Sub-key names: the count is in units with room for the NUL, and is left
  // alone when it does not fit.
  char16_t name[8];
  Create(u"Software\\Torvik\\Sizes\\Velmar");
  DWORD nameChars = 6;
  EXPECT_EQ(RegEnumKeyExW(k, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(nameChars, 6u);
  nameChars = 7;
  ASSERT_EQ(RegEnumKeyExW(k, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::tuple(nameChars, std::u16string(name)), std::tuple(6u, u"Velmar"));
  EXPECT_EQ(RegEnumKeyExW(k, 1, name, &nameChars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, NamesOfValuesAndKeysCompareWithoutCase) {
  HKEY k = Create(u"Software\\Torvik\\LiveConnections");
  ASSERT_EQ(SetDword(k, u"SZKŁO", 1), 0);
  EXPECT_EQ(GetDword(k, u"szkło"), 1u);
  ASSERT_EQ(SetDword(k, u"стекло", 2), 0);
  ASSERT_EQ(SetDword(k, u"СТЕКЛО", 3), 0);  // the same value, overwritten; the first spelling stays
  EXPECT_EQ(Names(k), (std::vector<std::u16string>{u"SZKŁO", u"стекло"}));
  EXPECT_EQ(GetDword(k, u"Стекло"), 3u);
  EXPECT_EQ(RegDeleteValueW(k, u"szKŁo"), 0);
  EXPECT_EQ(GetDword(k, u"SZKŁO", ERROR_FILE_NOT_FOUND), 0xDEADBEEFu);
  // Key paths too: the settings reader's test opens one key in two
  // spellings; two writers racing in two spellings make one directory.
}

TEST_F(Registry, KeysAreCreatedOpenedDeletedAndClosedOnce) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  DWORD disposition = 0;
  HKEY child = Create(u"Software\\Torvik\\Del\\Child", HKEY_CURRENT_USER, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetDword(child, u"v", 1), 0);
  EXPECT_EQ(RegDeleteValueW(child, u"v"), 0);
  EXPECT_EQ(RegDeleteValueW(child, u"v"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(SetDword(child, u"w", 1), 0);

  // Paths with empty components are refused, not mapped onto other keys.
  for (const char16_t* bad : {u"\\Software", u"Software\\\\Torvik"})
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, bad, 0, KEY_READ, &k), ERROR_BAD_PATHNAME);

  // A handle to a key deleted meanwhile (an uninstaller's) says so instead
  // of writing into nowhere.
  HKEY parent = Create(u"Software\\Torvik");
  EXPECT_EQ(RegDeleteKeyW(parent, u"Del"), ERROR_ACCESS_DENIED);  // it has a sub-key
  EXPECT_EQ(RegDeleteKeyW(parent, u"del\\CHILD"), 0);
  EXPECT_EQ(SetDword(child, u"w", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(GetDword(child, u"w", ERROR_KEY_DELETED), 0xDEADBEEFu);

  // A closed handle is refused, never mistaken for another key.
  HKEY gone = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik", 0, KEY_READ, &gone), 0);
  ASSERT_EQ(RegCloseKey(gone), 0);
  EXPECT_EQ(GetDword(gone, u"v", ERROR_INVALID_HANDLE), 0xDEADBEEFu);
  EXPECT_EQ(std::tuple(RegCloseKey(gone), RegCloseKey(HKEY_CURRENT_USER)), std::tuple(ERROR_INVALID_HANDLE, 0));
}

TEST_F(Registry, DamagedStoreFileIsReportedAndKeptWhileOtherKeysRead) {
  HKEY bad = Create(u"Software\\Torvik\\Bad");
  HKEY good = Create(u"Software\\Torvik\\Good");
  HKEY child = Create(u"Software\\Torvik\\Bad\\Child");
  ASSERT_EQ(SetDword(bad, u"a", 1), 0);
  ASSERT_EQ(SetText(bad, u"b", u"text"), 0);
  ASSERT_EQ(SetDword(good, u"a", 2), 0);
  ASSERT_EQ(SetDword(child, u"a", 3), 0);
  fs::path file = KeyDir("Software/Torvik/Bad/.values.json");
  std::string intact = ReadFile(file);

  const std::string head = "{\"format\":\"corvanta registry key 1\",\"values\":";
  const std::vector<std::string> damage = {
      intact.substr(0, intact.size() / 2),                                                            // truncated
      std::string("\x00\x01\xff garbage \x7f", 14),                                                   // not text
      "",                                                                                             // emptied
      head + "{}}",                                                                                   // wrong shape
      head + "[{\"name\":\"a\",\"type\":\"REG_DWORD\",\"dword\":-1}]}",                               // bad number
      head + "[{\"name\":\"x\",\"type\":\"REG_SZ\",\"hex\":\"0g\"}]}",                                // bad hex
      head + "[{\"name\":\"A\",\"type\":1,\"hex\":\"\"},{\"name\":\"a\",\"type\":1,\"hex\":\"\"}]}",  // names clash
      std::string(100000, '['),                                                                       // deep nesting
      // A name no Win32 call can pass or ask for: it ends at its NUL, and
      // "a\0b" would be read back as value "a".
      head + "[{\"name\":\"a\\u0000b\",\"type\":\"REG_DWORD\",\"dword\":5}]}",
  };
  for (const std::string& d : damage) {
    SCOPED_TRACE(d.substr(0, 40));
    WriteFile(file, d);
    EXPECT_EQ(GetDword(bad, u"a", ERROR_BADDB), 0xDEADBEEFu);
    std::vector<platform::RegistryValue> values;
    EXPECT_EQ(platform::ReadRegistryValues(bad, &values), ERROR_BADDB);
    EXPECT_TRUE(values.empty());
    // Writers are refused too: the damaged file is never silently replaced.
    const LSTATUS damaged = ERROR_BADDB;
    EXPECT_EQ(
        std::tuple(RegQueryInfoKeyW(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr),
                   SetDword(bad, u"c", 9), RegDeleteValueW(bad, u"a"), platform::DeleteRegistryValues(bad, {u"a"})),
        std::tuple(damaged, damaged, damaged, damaged));
    EXPECT_EQ(ReadFile(file), d);
    // Everything else reads: siblings, the damaged key's sub-keys, and the
    // list of sub-keys.
    EXPECT_EQ(std::tuple(GetDword(good, u"a"), GetDword(child, u"a")), std::tuple(2u, 3u));
    char16_t name[8];
    DWORD chars = 8;
    EXPECT_EQ(RegEnumKeyExW(bad, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), 0);
  }
  // A leftover temporary file of a writer that died does not matter.
  WriteFile(file, intact);
  WriteFile(KeyDir("Software/Torvik/Bad/.values.json.tmp"), "half a wri");
  EXPECT_EQ(GetDword(bad, u"a"), 1u);
  EXPECT_EQ(SetDword(bad, u"c", 9), 0);
  EXPECT_EQ(GetDword(bad, u"c"), 9u);
  EXPECT_FALSE(fs::exists(KeyDir("Software/Torvik/Bad/.values.json.tmp")));
}

TEST_F(Registry, OneHandleSharedByThreadsLosesNothing) {
  HKEY k = Create(u"Software\\Torvik\\Threads");
  constexpr int kThreads = 4;
  constexpr int kEach = 60;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([k, t] {
      for (int i = 0; i < kEach; ++i) {
        ASSERT_EQ(SetDword(k, Name(char('a' + t), i).c_str(), static_cast<DWORD>(t * 1000 + i)), 0);
        ASSERT_EQ(GetDword(k, Name(char('a' + t), i).c_str()), static_cast<DWORD>(t * 1000 + i));
      }
    });
  // Meanwhile another thread opens and closes handles of its own.
  threads.emplace_back([] {
    for (int i = 0; i < 200; ++i) {
      HKEY h = nullptr;
      ASSERT_TRUE(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\Threads", 0, KEY_READ, &h) == 0 &&
                  RegCloseKey(h) == 0);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(Names(k).size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(Registry, AWriterWaitsForAStuckLockHolderOnlyBoundedly) {
  HKEY key = Create(u"Software\\Torvik\\LiveConnections");
  ASSERT_EQ(SetDword(key, u"a", 1), 0);
  // Another holder of the key directory's lock that never lets go (a
  // stopped process, another user): a lock of our own descriptor is one.
  const std::string dir = KeyDir("Software/Torvik/LiveConnections").string();
  const int held = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  ::setenv("CORV_REGISTRY_LOCK_TIMEOUT_MS", "300", 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SetDword(key, u"b", 2), static_cast<LSTATUS>(ERROR_TIMEOUT));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(std::tuple(RegDeleteValueW(key, u"a"), platform::DeleteRegistryValues(key, {u"a"})),
            std::tuple(LSTATUS(ERROR_TIMEOUT), LSTATUS(ERROR_TIMEOUT)));
  // Readers take no lock; the old values are intact.
  EXPECT_EQ(GetDword(key, u"a"), 1u);
  ::unsetenv("CORV_REGISTRY_LOCK_TIMEOUT_MS");
  ::close(held);
  EXPECT_EQ(SetDword(key, u"b", 2), 0);
}

TEST_F(Registry, AllValuesReadAndManyDeletedInOneGo) {
  HKEY k = Create(u"Software\\Torvik\\Many");
  std::vector<std::u16string> names;
  for (int i = 0; i < 60; ++i)
    ASSERT_EQ(SetDword(k, names.emplace_back(Name('v', i)).c_str(), static_cast<DWORD>(i)), 0);
  // In the order first set, each with its type and data.
  std::vector<platform::RegistryValue> values;
  ASSERT_EQ(platform::ReadRegistryValues(k, &values), 0);
  ASSERT_EQ(values.size(), names.size());
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(std::tuple(values[i].name, values[i].type, values[i].data),
              std::tuple(names[i], DWORD(REG_DWORD), std::vector<BYTE>{BYTE(i), 0, 0, 0}));
  // Names compare without case; missing ones are passed over.
  std::vector<std::u16string> doomed = {u"V0", u"v1", u"nosuch"};
  doomed.insert(doomed.end(), names.begin() + 10, names.begin() + 40);
  ASSERT_EQ(platform::DeleteRegistryValues(k, doomed), 0);
  names.erase(names.begin() + 10, names.begin() + 40);
  names.erase(names.begin(), names.begin() + 2);
  EXPECT_EQ(Names(k), names);

  // Nothing to delete: reported, and nothing changes.
  const std::string text = ReadFile(KeyDir("Software/Torvik/Many/.values.json"));
  EXPECT_EQ(platform::DeleteRegistryValues(k, {u"nosuch"}), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(KeyDir("Software/Torvik/Many/.values.json")), text);
  EXPECT_EQ(platform::ReadRegistryValues(k, nullptr), ERROR_INVALID_PARAMETER);
}

// Every write rewrites and syncs the key's whole file, so 250 writes each
// keep both writers overlapping for hundreds of read-modify-write rounds,
// which is what loses values without the lock. Both also race to create the
// key, in different spellings.
TEST_F(Registry, TwoWriterProcessesOfOneKeyLoseNothing) {
  constexpr int kCount = 250;
  const pid_t a = StartWriter(u"Software\\Torvik\\LiveConnections", 'a', kCount);
  const pid_t b = StartWriter(u"SOFTWARE\\torvik\\liveconnections", 'b', kCount);
  ASSERT_TRUE(a > 0 && b > 0);
  for (pid_t writer : {a, b}) {
    const int status = Wait(writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY k = Create(u"Software\\Torvik\\LiveConnections");
  EXPECT_EQ(ValueCount(k), 2u * kCount);
  for (int i = 0; i < kCount; ++i)
    ASSERT_EQ(std::tuple(GetDword(k, Name('a', i).c_str()), GetDword(k, Name('b', i).c_str())),
              std::tuple(DWORD(i), DWORD(i)));
  // Whichever spelling won the race, there is one directory per key.
  int keyDirs = 0;
  for (auto& e : fs::recursive_directory_iterator(dir_ / "hkcu")) keyDirs += e.is_directory() ? 1 : 0;
  EXPECT_EQ(keyDirs, 3);
}

TEST_F(Registry, WriterKilledMidwayLeavesAWholeFileAndNoLock) {
  const pid_t w = StartWriter(u"Software\\Torvik\\Crash", 'v', 1000000);
  ASSERT_GT(w, 0);
  // Let it get well into its writes (each one is seen whole), then kill it.
  HKEY k = nullptr;
  while (k == nullptr || ValueCount(k) < 50) {
    if (k == nullptr) RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\Crash", 0, KEY_ALL_ACCESS, &k);
    ASSERT_EQ(::waitpid(w, nullptr, WNOHANG), 0) << "the writer ended early";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  open_.push_back(k);
  ::kill(w, SIGKILL);
  ASSERT_TRUE(WIFSIGNALED(Wait(w)));
  const DWORD count = ValueCount(k);
  ASSERT_GE(count, 50u);
  // The writer wrote in order, so what is there is exactly a prefix; its
  // lock died with it, so a new write goes through (no timeout).
  for (DWORD i = 0; i < count; ++i) ASSERT_EQ(GetDword(k, Name('v', static_cast<int>(i)).c_str()), i);
  EXPECT_EQ(SetDword(k, u"after", 1), 0);
  EXPECT_EQ(ValueCount(k), count + 1);
}

}  // namespace
