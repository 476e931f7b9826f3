// hostsim export: a model file to a document through an add-on's "dae"
// file type (the test add-on's), with progress on the terminal and a clear
// error and exit status for what cannot be read or written.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/win32.h"
#include "ui_env.h"

namespace {

namespace fs = std::filesystem;

struct Exported {
  int status = -1;
  std::string output;
};

Exported Export(const std::string& args) {
  const std::string out = uitest::TempDir() + "/export.out";
  const std::string cmd = std::string("'") + CORV_HOSTSIM_PATH + "' export " + args + " > '" + out + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, text.str()};
}

std::string Module() { return std::string(" --module '") + CORV_TESTADDON_PATH + "'"; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HostsimExport, ModelsOfEveryKindGoThroughTheAddonsFileType) {
  const std::string dir = uitest::TempDir() + "/kinds";
  fs::create_directories(dir);
  const std::string samples = CORV_HOST_SAMPLES;
  for (const char* model : {"house.obj", "house.pln"}) {
    SCOPED_TRACE(model);
    const std::string out = dir + "/" + std::string(model) + ".dae";
    auto r = Export("'" + samples + model + "' -o '" + out + "'" + Module());
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string doc = ReadAll(out);
    EXPECT_NE(doc.find("<COLLADA"), std::string::npos) << doc;
    EXPECT_NE(doc.find(" elements, "), std::string::npos) << doc;
    EXPECT_EQ(doc.find(" 0 elements"), std::string::npos) << "the model reached the add-on: " << doc;
    // Progress: what is read, what is written.
    EXPECT_NE(r.output.find("reading "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("elements, "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("wrote " + out), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(out + ".part"));
  }
}

TEST(HostsimExport, ADestinationWithoutExtensionBecomesADaeByItsLastComponent) {
  // "proj.old/house": the folder's dot is no extension of the file.
  const std::string dir = uitest::TempDir() + "/proj.old";
  fs::create_directories(dir);
  auto r = Export("'" + std::string(CORV_HOST_SAMPLES) + "house.obj' -o '" + dir + "/house'" + Module());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(ReadAll(dir + "/house.dae").find("<COLLADA"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir + "/house"));
}

TEST(HostsimExport, WhatCannotBeReadOrWrittenIsSaidWithExitTwo) {
  const std::string dir = uitest::TempDir() + "/bad";
  fs::create_directories(dir);
  const std::string good = std::string(CORV_HOST_SAMPLES) + "house.obj";
  std::ofstream(dir + "/broken.obj") << "v 0 0 0\nv 1 0 0\nf 1 2 7\n";
  std::ofstream(dir + "/old.dae") << "the user's earlier document";
  struct Case {
    std::string args, says;
  };
  const std::vector<Case> cases = {
      {"'" + dir + "/broken.obj' -o '" + dir + "/b.dae'", "cannot read the model: " + dir + "/broken.obj"},
      {"'" + dir + "/none.obj' -o '" + dir + "/n.dae'", "no such file"},
      {"'" + good + "' -o '" + dir + "/missing/x.dae'", "does not exist"},
      {"'" + good + "' -o '" + dir + "'", "is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    auto r = Export(c.args + Module());
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
  auto noModule = Export("'" + good + "' -o '" + dir + "/m.dae' --module '" + dir + "/nothing.so'");
  EXPECT_EQ(noModule.status, 2);
  EXPECT_NE(noModule.output.find("no add-on module at"), std::string::npos) << noModule.output;
  // No add-on type for the extension: the add-on cannot write it.
  auto noType = Export("'" + good + "' -o '" + dir + "/old.xyz'" + Module());
  EXPECT_EQ(noType.status, 1) << noType.output;
  EXPECT_NE(noType.output.find("no add-on saves the 3D window as \".xyz\""), std::string::npos) << noType.output;
  EXPECT_EQ(ReadAll(dir + "/old.dae"), "the user's earlier document");
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_NE(e.path().extension(), ".part") << "nothing half-written stays behind";
}

TEST(HostsimExport, SettingsGivenForOneExportLeaveTheUsersOwnInPlace) {
  HKEY key = nullptr;
  const auto* name = reinterpret_cast<LPCWSTR>(u"Software\\Torvik\\PluginForArchiCAD");
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD mine = 7;
  ASSERT_EQ(RegSetValueExW(key, reinterpret_cast<LPCWSTR>(u"ExportTextures"), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&mine), sizeof(mine)),
            ERROR_SUCCESS);
  const std::string out = uitest::TempDir() + "/settings.dae";
  auto r = Export("'" + std::string(CORV_HOST_SAMPLES) + "house.obj' -o '" + out + "' --setting ExportTextures=0" +
                  " --setting FreshValue=yes --quiet" + Module());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(r.output.empty()) << "--quiet: " << r.output;
  DWORD value = 0, type = 0, bytes = sizeof(value);
  ASSERT_EQ(RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(u"ExportTextures"), nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, mine);
  EXPECT_NE(RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(u"FreshValue"), nullptr, &type, nullptr, &bytes),
            ERROR_SUCCESS)
      << "a value the user did not have is gone again";
  RegCloseKey(key);
}

}  // namespace
