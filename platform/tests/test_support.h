// The platform tests' names for the shared test support: a private runtime
// and registry directory per test process, and helper programs run as real
// child processes with pipes.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "isolation.h"

namespace corvtest {

inline std::string ToolPath(const std::string& tool) { return std::string(CORV_TOOLS_DIR) + "/" + tool; }

// The stand-ins point at the shared test support's fresh directories before
// any platform call (children inherit them); they are removed at exit. The
// reference links the isolation into every test that includes this.
inline const livelink_test::Isolation& g_isolation = livelink_test::Isolated();
inline const std::string& IsolatedRoot() { return g_isolation.root(); }

// A helper program with its stdin and stdout connected to us; null when it
// cannot start. Dropping it kills and reaps it.
using Peer = std::unique_ptr<livelink_test::ChildProcess>;
inline Peer StartTool(const std::string& tool, const std::vector<std::string>& args) {
  return livelink_test::ChildProcess::Start(ToolPath(tool), args);
}
// Its next line without the newline; empty on timeout or end of output.
inline std::string Line(const Peer& peer, int timeoutMs = 10000) {
  std::string line;
  return peer && peer->ReadLine(&line, timeoutMs) ? line : std::string();
}
inline std::string Ask(const Peer& peer, const std::string& line) {
  return peer && peer->Send(line) ? Line(peer) : "not sent";
}
// Waits for its exit, first closing its input when asked; the exit code, or
// -1 when it did not exit normally.
inline int ExitCode(const Peer& peer, bool closeInput = false) {
  if (!peer) return -1;
  if (closeInput) peer->CloseInput();
  const int status = peer->Wait(60000);
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace corvtest
