// The loader protocol and the function table, between the host and a real
// add-on module loaded with dlopen.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "hostsdk/hostcalls.h"
#include "hostsdk/loader.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::HostWithAddon;
using hostrt_test::TempDir;

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> LoaderSteps(const host::Host& host) {
  std::vector<std::string> steps;
  for (const auto& e : host.LogEntries()) {
    if (e.category != "loader") continue;
    const auto colon = e.text.rfind(": ");
    steps.push_back(colon == std::string::npos ? e.text : e.text.substr(colon + 2));
  }
  return steps;
}

// Loaded once and unloaded, then loaded again and left for the host's quit:
// each time the protocol runs in order, and quitting frees the add-on after
// the quit event.
TEST(RuntimeLoader, RunsTheProtocolInOrderAndFreesAtUnloadAndAtQuit) {
  TempDir temp;
  const std::string journal = temp.File("journal.txt");
  setenv("CORV_TESTADDON_JOURNAL", journal.c_str(), 1);
  {
    host::Host host;
    auto loaded = host.LoadAddon(CORV_TESTADDON_PATH);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    const host::AddonRecord* record = host.Addon(loaded.value());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, u"Host test add-on");
    EXPECT_EQ(record->description, u"Exercises the host stand-in");
    EXPECT_EQ(record->type, APIAddon_Normal);
    EXPECT_TRUE(record->keepInMemory);
    ASSERT_EQ(host.FileTypes().size(), 2u) << "a registration without extension must not reach the host";
    EXPECT_STREQ(host.FileTypes()[0].reg.extname, "tst");
    EXPECT_NE(host.FileTypes()[0].handler3D, nullptr);
    EXPECT_STREQ(host.FileTypes()[1].reg.extname, "dae");
    EXPECT_NE(host.FileTypes()[1].handler3D, nullptr);
    ASSERT_TRUE(host.UnloadAddon(loaded.value()).ok());
    EXPECT_EQ(host.Addon(loaded.value()), nullptr);
    EXPECT_TRUE(host.FileTypes().empty());
    EXPECT_EQ(LoaderSteps(host),
              (std::vector<std::string>{"GetExportedFuncAddrs", "SetImportedFuncAddrs", "CheckEnvironment",
                                        "RegisterInterface", "Initialize", "FreeData", "unloaded"}));
    ASSERT_TRUE(host.LoadAddon(CORV_TESTADDON_PATH).ok());
    ASSERT_TRUE(host.OpenSampleProject().ok());
  }  // the destructor quits
  unsetenv("CORV_TESTADDON_JOURNAL");
  // Inside the add-on: the table was there for CheckEnvironment, the context
  // for Initialize, and the glue refused a file type without extension.
  const auto lines = ReadLines(journal);
  const std::vector<std::string> start = {"CheckEnvironment imported=1", "RegisterInterface",
                                          "register without extension " + std::to_string(APIERR_BADEXTENSION),
                                          "Initialize context=1"};
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), start);
  const auto again = std::find(lines.begin() + 1, lines.end(), start[0]);
  ASSERT_NE(again, lines.end());
  EXPECT_EQ(*(again - 1), "FreeData") << "freed at unload";
  auto at = [&](const std::string& text) { return std::find(again, lines.end(), text) - lines.begin(); };
  ASSERT_LT(at("project 64 0"), long(lines.size()));
  EXPECT_LT(at("project 4 0"), at("project 64 0"));
  EXPECT_LT(at("project 64 0"), at("FreeData"));
}

// A missing file, a shared library without the loader's entry points, a
// file that is no library and an add-on that declines: each refused with a
// message that says which, and nothing of them stays registered.
TEST(RuntimeLoader, RefusesModulesThatAreNoAddonsAndAddonsThatDecline) {
  host::Host host;
  TempDir temp;
  const std::string junk = temp.File("junk.so");
  std::ofstream(junk) << "not an ELF file";
  setenv("CORV_TESTADDON_DECLINE", "1", 1);
  const std::pair<std::string, std::string> cases[] = {{temp.File("nothing.so"), "nothing.so"},
                                                       {CORV_HOSTSDK_PATH, "GetExportedFuncAddrs"},
                                                       {junk, "junk.so"},
                                                       {CORV_TESTADDON_PATH, "declined"}};
  for (const auto& [path, named] : cases) {
    auto loaded = host.LoadAddon(path);
    ASSERT_FALSE(loaded.ok()) << path;
    EXPECT_NE(loaded.error().find(named), std::string::npos) << loaded.error();
  }
  unsetenv("CORV_TESTADDON_DECLINE");
  EXPECT_TRUE(host.Addons().empty());
  EXPECT_TRUE(host.FileTypes().empty());
}

// Without a host: the module's entry points before and after the table, and
// what an empty table entry does.
namespace counted {
int keepCalls = 0;
GSErrCode Keep(API_HostContext*, bool) {
  ++keepCalls;
  return NoError;
}
}  // namespace counted

TEST(RuntimeLoader, EntryPointsRefuseBeforeTheTableAndEmptyEntriesAreNeverCalled) {
  void* module = dlopen(CORV_TESTADDON_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto getExports = reinterpret_cast<GetExportedFuncAddrsProc>(dlsym(module, "GetExportedFuncAddrs"));
  auto setImports = reinterpret_cast<SetImportedFuncAddrsProc>(dlsym(module, "SetImportedFuncAddrs"));
  auto probeFn = reinterpret_cast<TestAddonProbe* (*)()>(dlsym(module, "TestAddon_Probe"));
  ASSERT_TRUE(getExports && setImports && probeFn);
  TestAddonProbe* probe = probeFn();
  probe->clearJournal();

  API_ExportRecord record;
  std::memset(&record, 0xAB, sizeof(record));
  ASSERT_EQ(getExports(&record), NoError);
  // The record as the host reads it: version word, four entry points, the
  // generation right behind them, zeros after.
  std::uint32_t version;
  std::memcpy(&version, &record, 4);
  EXPECT_EQ(version, 0x150001u);
  std::int32_t generation;
  std::memcpy(&generation, reinterpret_cast<const char*>(&record) + 40, 4);
  EXPECT_EQ(generation, 21000);
  for (std::size_t i = 44; i < sizeof(record); ++i) {
    ASSERT_EQ(reinterpret_cast<const unsigned char*>(&record)[i], 0) << "byte " << i;
  }

  API_EnvirParams envir{};
  EXPECT_EQ(record.checkEnvironment(&envir), 0);
  EXPECT_EQ(record.registerInterface(), APIERR_GENERAL);
  EXPECT_EQ(record.initialize(nullptr), APIERR_GENERAL);
  EXPECT_EQ(record.freeData(), APIERR_GENERAL);
  EXPECT_EQ(envir.addOnInfo.name[0], 0) << "CheckEnvironment must not run before the table";
  EXPECT_TRUE(probe->journal().empty());
  EXPECT_EQ(probe->keepInMemory(true), APIERR_GENERAL);
  EXPECT_EQ(setImports(nullptr), APIERR_BADPARS);
  EXPECT_EQ(probe->keepInMemory(true), APIERR_GENERAL);

  // A table with one entry: that one is called, every other yields the
  // missing-function code without a call (a call would crash on null).
  host::FunctionTable table;
  ASSERT_TRUE(table.Set(HostFunc_KeepInMemory, HostCall::KeepInMemory(&counted::Keep)));
  ASSERT_EQ(setImports(&table.Raw()), NoError);
  EXPECT_EQ(probe->keepInMemory(true), NoError);
  EXPECT_EQ(counted::keepCalls, 1);
  API_ProjectInfo info;
  EXPECT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), APIERR_MISSINGFUNCTION);
  EXPECT_EQ(probe->goodies(APIAny_GetAutoTextsID, nullptr, nullptr), APIERR_MISSINGFUNCTION);
  // Entry points now run.
  EXPECT_EQ(record.checkEnvironment(&envir), APIAddon_Normal);
  EXPECT_EQ(std::u16string(envir.addOnInfo.name), u"Host test add-on");
  dlclose(module);
}

}  // namespace
