// A module unloaded although the host never called FreeData (the host went
// away without the protocol's last step): it prints its one line through
// the host's debug output, and from then on calls no host function with the
// context of a host that may be gone.
//
// This test program plays the module: it links the module's load and unload
// code with the glue, and a host of its own (a function table that writes
// every call it gets to a file, saying whether it came with the host's
// context). The module's end runs when the program exits; a destructor of
// this file, which runs after it, plays whatever might still call the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "addon/module.h"
#include "hostsdk/acapi.h"
#include "hostsdk/functable.h"
#include "hostsdk/hostcalls.h"
#include "hostsdk/loader.h"
#include "test_temp_dir.h"

namespace {

int g_calls = -1;  // the host's record of calls, in the child only
char g_hostContext = 0;

GSErrCode HostDebugPrint(API_HostContext* context, const char* text) {
  const char* from = context == nullptr                                              ? "no context"
                     : context == reinterpret_cast<API_HostContext*>(&g_hostContext) ? "host context"
                                                                                     : "other context";
  dprintf(g_calls, "%s: %s", from, text);
  return NoError;
}

// Runs after the module's unload code (this file's object comes before the
// module's code on the link line, so its destructor comes after it).
__attribute__((destructor)) void LateHostCall() {
  if (g_calls >= 0) DBPrintf("a late call\n");
}

TEST(ModuleUnload, WithoutFreeDataPrintsItsLineAndThenForgetsTheHost) {
  testsupport::TempDir dir;
  const std::string record = dir.File("calls.txt");
  const pid_t pid = ::fork();
  if (pid == 0) {
    g_calls = ::open(record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    static API_FunctionTable table{};
    table.entries[HostFunc_DebugPrint] = reinterpret_cast<HostFunction>(HostCall::DebugPrint(&HostDebugPrint));
    API_ExportRecord exports{};
    if (GetExportedFuncAddrs(&exports) != NoError || SetImportedFuncAddrs(&table) != NoError) ::_exit(2);
    // The module's Initialize refuses here; the host context is stored
    // before it runs, as a real load does.
    exports.initialize(reinterpret_cast<API_HostContext*>(&g_hostContext));
    DBPrintf("loaded\n");
    std::exit(0);  // the host ends: no FreeData
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::ifstream in(record);
  std::stringstream calls;
  calls << in.rdbuf();
  EXPECT_EQ(calls.str(),
            "host context: loaded\n"
            "host context: Abnormal add-on termination (\"" +
                std::string(addon::ModulePath()) +
                "\")\n"
                "no context: a late call\n");
}

}  // namespace
