// Shared set-up of the runtime's tests: private registry and runtime
// directories, a host with the test add-on loaded, and the add-on's probe.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "host/host.h"
#include "testaddon/probe.h"
#include "test_temp_dir.h"

namespace hostrt_test {

using TempDir = ::testsupport::TempDir;

// Points the registry and the runtime directory at private folders before
// any platform call, for the whole test program.
class IsolatedEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    std::filesystem::create_directories(dir_->path() / "hkcu");
    std::filesystem::create_directories(dir_->path() / "hklm");
    std::filesystem::create_directories(dir_->path() / "run");
    std::filesystem::permissions(dir_->path() / "run", std::filesystem::perms::owner_all);
    setenv("CORV_REGISTRY_HKCU", (dir_->path() / "hkcu").c_str(), 1);
    setenv("CORV_REGISTRY_HKLM", (dir_->path() / "hklm").c_str(), 1);
    setenv("CORV_RUNTIME_DIR", (dir_->path() / "run").c_str(), 1);
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<TempDir> dir_;
};

inline TestAddonProbe* ProbeOf(const host::Host& host, host::AddonId id) {
  const host::AddonRecord* record = host.Addon(id);
  if (record == nullptr) return nullptr;
  auto fn = reinterpret_cast<TestAddonProbe* (*)()>(dlsym(record->handle, "TestAddon_Probe"));
  return fn != nullptr ? fn() : nullptr;
}

// A host with the test add-on loaded.
class HostWithAddon : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<host::Host>();
    auto loaded = host->LoadAddon(CORV_TESTADDON_PATH);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    addon = loaded.value();
    probe = ProbeOf(*host, addon);
    ASSERT_NE(probe, nullptr);
    probe->clearJournal();
  }
  void TearDown() override { host.reset(); }

  nlohmann::json Dump() {
    const std::string text = probe->dumpModel();
    EXPECT_FALSE(text.empty());
    return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
  }
  int JournalCount(const std::string& prefix) {
    int n = 0;
    for (const auto& line : probe->journal()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  TempDir temp;
  std::unique_ptr<host::Host> host;
  host::AddonId addon = 0;
  TestAddonProbe* probe = nullptr;
};

}  // namespace hostrt_test
