// Project files, requests by selector and the 3D file-type save, as the
// add-on meets them.
#include <algorithm>
#include <cstring>
#include <fstream>

#include "hostsdk/requests.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::HostWithAddon;
using nlohmann::json;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(HostWithAddon, BadFilesAreRefusedAndTheOpenProjectStaysIntact) {
  ASSERT_TRUE(host->OpenSampleProject().ok());
  ASSERT_TRUE(host->SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json before = Dump();
  probe->clearJournal();

  const std::string good = temp.File("good.pln");
  ASSERT_TRUE(host->SaveProjectAs(good).ok());
  const std::string text = ReadFile(good);
  ASSERT_GT(text.size(), 100u);
  struct Case {
    std::string name;
    std::string content;
  };
  // Each way a file fails to read is the project file's and the OBJ
  // reader's tests; here: a native file and a model file.
  const std::vector<Case> cases = {
      {"truncated.pln", text.substr(0, text.size() / 2)},
      {"garbage.obj", std::string("\x7f\x45\x4c\x46\x02\x01\x01\0\0\0", 10)},
  };
  probe->clearJournal();
  for (const Case& c : cases) {
    const std::string path = temp.File(c.name);
    std::ofstream(path, std::ios::binary) << c.content;
    const auto opened = host->OpenProject(path);
    ASSERT_FALSE(opened.ok()) << c.name;
    EXPECT_NE(opened.error().find(c.name), std::string::npos) << "the message names the file: " << opened.error();
  }
  const auto missing = host->OpenProject(temp.File("missing.pln"));
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("missing.pln"), std::string::npos);

  // Nothing was closed or replaced.
  EXPECT_TRUE(probe->journal().empty()) << probe->journal().front();
  EXPECT_TRUE(host->HasProject());
  EXPECT_EQ(host->State().soloPath, std::filesystem::path(good).lexically_normal().string());
  EXPECT_EQ(host->State().currentWindow, hostmodel::WindowType::ThreeD);
  EXPECT_FALSE(host->WindowSight()->IsSightInvalid());
  EXPECT_EQ(Dump(), before);
}

// Saves that cannot happen: no project, no name (never announced), no
// folder (announced, never reported done).
TEST_F(HostWithAddon, SavingNeedsANameAndAFailedSaveKeepsTheProject) {
  EXPECT_FALSE(host->SaveProject().ok());
  ASSERT_TRUE(host->OpenSampleProject().ok());
  probe->clearJournal();
  EXPECT_FALSE(host->SaveProject().ok());
  EXPECT_TRUE(probe->journal().empty()) << probe->journal().front();
  EXPECT_FALSE(host->SaveProjectAs(temp.File("no/such/folder/house.pln")).ok());
  EXPECT_EQ(JournalCount("project 16"), 0);
  EXPECT_TRUE(host->State().untitled);
}

TEST_F(HostWithAddon, ProjectRequestsDescribeTheOpenProject) {
  API_ProjectInfo info;
  EXPECT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), APIERR_NOPLAN) << "no project open";
  EXPECT_EQ(probe->environment(APIEnv_ProjectID, nullptr, nullptr), APIERR_BADPARS);

  ASSERT_TRUE(host->OpenSampleProject().ok());
  ASSERT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), NoError);
  EXPECT_TRUE(info.untitled);
  EXPECT_TRUE(info.location.IsEmpty());

  const std::string solo = temp.File("Villa Nova.pln");
  ASSERT_TRUE(host->SaveProjectAs(solo).ok());
  ASSERT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), NoError);
  EXPECT_FALSE(info.untitled);
  EXPECT_FALSE(info.teamwork);
  GS::UniString path;
  ASSERT_EQ(info.location.ToPath(&path), NoError);
  EXPECT_EQ(path.ToUtf8(), solo);
  EXPECT_EQ(info.projectName.ToUtf8(), "Villa Nova");

  const std::string url = "teamwork://server:22001/Projects/Villa%20Nova@Villa%20Nova";
  ASSERT_TRUE(host->OpenTeamworkProject(solo, url).ok());
  ASSERT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), NoError);
  EXPECT_TRUE(info.teamwork);
  EXPECT_FALSE(info.untitled);
  EXPECT_EQ(info.teamworkUrl.ToUtf8(), url);
  EXPECT_TRUE(info.location.IsEmpty());
}

TEST_F(HostWithAddon, PreferencesPlaceAndApplicationRequests) {
  ASSERT_TRUE(host->OpenSampleProject().ok());
  ASSERT_TRUE(host->SetWorkingLengthUnit(hostmodel::LengthUnit::FootInch).ok());
  ASSERT_TRUE(host->SetReferenceLevels({{"Ground floor", 0.5}, {std::string(100, 'L'), 3.25}}).ok());
  ASSERT_TRUE(host->SetSeaLevelAltitude(123.5).ok());

  API_WorkingUnitPrefs units;
  ASSERT_EQ(probe->environment(APIEnv_GetPreferencesID, &units, reinterpret_cast<void*>(0)), NoError);
  EXPECT_EQ(units.lengthUnit, API_FootInch);
  API_RefLevelsPrefs levels;
  ASSERT_EQ(probe->environment(APIEnv_GetPreferencesID, &levels, reinterpret_cast<void*>(1)), NoError);
  EXPECT_TRUE(levels.hasLevel1 && levels.hasLevel2);
  EXPECT_DOUBLE_EQ(levels.level1val, 0.5);
  EXPECT_DOUBLE_EQ(levels.level2val, 3.25);
  EXPECT_STREQ(levels.level1name, "Ground floor");
  EXPECT_EQ(std::strlen(levels.level2name), sizeof(levels.level2name) - 1) << "a long name is cut and terminated";
  EXPECT_EQ(probe->environment(APIEnv_GetPreferencesID, &levels, reinterpret_cast<void*>(7)), APIERR_BADPARS);
  ASSERT_TRUE(host->SetReferenceLevels({}).ok());
  ASSERT_EQ(probe->environment(APIEnv_GetPreferencesID, &levels, reinterpret_cast<void*>(1)), NoError);
  EXPECT_FALSE(levels.hasLevel1);

  API_PlaceInfo place;
  ASSERT_EQ(probe->environment(APIEnv_GetPlaceSetsID, &place, nullptr), NoError);
  EXPECT_DOUBLE_EQ(place.altitude, 123.5);

  API_ApplicationInfo app;
  std::memset(&app, 0x55, sizeof(app));
  ASSERT_EQ(probe->environment(APIEnv_ApplicationID, &app, nullptr), NoError);
  // Read as a reader of the 512-byte record does: an 8-bit text at its start.
  const char* version = reinterpret_cast<const char*>(&app);
  EXPECT_EQ(std::string(version), host->State().hostVersion);
  EXPECT_EQ(app.mainVersion, 21);

  HWND window = nullptr;
  ASSERT_EQ(probe->environment(APIEnv_GetMainWindowID, &window, nullptr), NoError);
  EXPECT_EQ(window, host->MainWindow());

  EXPECT_EQ(probe->environment(FourCC("ZZZZ"), &app, nullptr), APIERR_BADSELECTOR);
  EXPECT_EQ(probe->goodies(FourCC("ZZZZ"), nullptr, nullptr), APIERR_BADSELECTOR);
}

TEST_F(HostWithAddon, CustomAutoTextsAreCreatedSetListedAndSaved) {
  API_AutotextList list;
  EXPECT_EQ(probe->goodies(APIAny_GetAutoTextsID, &list, reinterpret_cast<void*>(APIAutoText_Custom)), APIERR_NOPLAN);
  ASSERT_TRUE(host->OpenSampleProject().ok());
  ASSERT_EQ(probe->goodies(APIAny_GetAutoTextsID, &list, reinterpret_cast<void*>(APIAutoText_Custom)), NoError);
  const std::size_t customBefore = list.entries.size();

  API_Guid guid;
  ASSERT_TRUE(APIGuidFromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", &guid));
  char name[] = "Velmar model offset";
  ASSERT_EQ(probe->goodies(APIAny_CreateAnAutoTextID, &guid, name), NoError);
  EXPECT_EQ(probe->goodies(APIAny_CreateAnAutoTextID, &guid, name), APIERR_BADNAME) << "the GUID is taken";
  GS::UniString key(u"autotext-0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
  GS::UniString value(u"0.254");
  ASSERT_EQ(probe->goodies(APIAny_SetAnAutoTextID, &key, &value), NoError);
  GS::UniString wrong(u"autotext-nothing");
  EXPECT_EQ(probe->goodies(APIAny_SetAnAutoTextID, &wrong, &value), APIERR_BADNAME);

  ASSERT_EQ(probe->goodies(APIAny_GetAutoTextsID, &list, reinterpret_cast<void*>(APIAutoText_Custom)), NoError);
  ASSERT_EQ(list.entries.size(), customBefore + 1);
  const API_AutotextEntry& entry = list.entries.back();
  EXPECT_EQ(entry[0].ToUtf8(), "Velmar model offset");
  EXPECT_EQ(entry[1], key);
  EXPECT_EQ(entry[2], value);

  // The auto-text travels with the project file.
  const std::string path = temp.File("offset.pln");
  ASSERT_TRUE(host->SaveProjectAs(path).ok());
  ASSERT_TRUE(host->CloseProject().ok());
  ASSERT_TRUE(host->OpenProject(path).ok());
  ASSERT_EQ(probe->goodies(APIAny_GetAutoTextsID, &list, reinterpret_cast<void*>(APIAutoText_Custom)), NoError);
  ASSERT_FALSE(list.entries.empty());
  EXPECT_EQ(list.entries.back()[2].ToUtf8(), "0.254");
}

TEST_F(HostWithAddon, Saving3DWindowGoesToTheAddonFileType) {
  ASSERT_TRUE(host->OpenSampleProject().ok());
  const std::string target = temp.File("export.TST");
  EXPECT_FALSE(host->Save3D(target).ok()) << "only from the 3D window";
  ASSERT_TRUE(host->SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  const auto saved = host->Save3D(target);
  ASSERT_TRUE(saved.ok()) << saved.error();
  const json written = json::parse(ReadFile(target));
  EXPECT_EQ(written["elements"].get<std::size_t>(), host->CurrentProject().elements.size());
  EXPECT_EQ(probe->savedCount(), int(host->CurrentProject().elements.size()));
  EXPECT_FALSE(host->Save3D(temp.File("export.xyz")).ok()) << "no add-on serves .xyz";
  EXPECT_FALSE(host->Save3D(temp.File("export")).ok());
  // A window change the add-on asks for inside the save reaches it after
  // the save returned, as a posted notification would.
  probe->clearJournal();
  ASSERT_TRUE(host->Save3D(temp.File("switch.tst")).ok());
  const auto journal = probe->journal();
  const auto switched = std::find(journal.begin(), journal.end(), "save3d switch 0");
  const auto viewed = std::find(journal.begin(), journal.end(), "view 16");
  ASSERT_NE(switched, journal.end());
  ASSERT_NE(viewed, journal.end());
  EXPECT_LT(switched, viewed);
  EXPECT_EQ(host->State().currentWindow, hostmodel::WindowType::FloorPlan);
  ASSERT_TRUE(host->SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  // The add-on's failure is the host's failure to save.
  const auto failed = host->Save3D(temp.File("no/such/folder/export.tst"));
  EXPECT_FALSE(failed.ok());
}

// A model whose textures are partly missing opens, says which, and the
// add-on sees the material without a texture; a model that cannot be read
// leaves that project open as it was.
TEST_F(HostWithAddon, AModelWithAMissingTextureOpensWithAWarning) {
  std::ofstream(temp.File("lamp.mtl")) << "newmtl Shade\nKd 0.9 0.9 0.6\nmap_Kd shade.png\n";
  const std::string obj = temp.File("lamp.obj");
  std::ofstream(obj) << "mtllib lamp.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Shade\nf 1 2 3\nl 1 2\n";
  ASSERT_TRUE(host->OpenProject(obj).ok());
  int warnings = 0;
  for (const auto& entry : host->LogEntries())
    warnings += entry.category == "warning" && entry.text.find("shade.png") != std::string::npos ? 1 : 0;
  EXPECT_EQ(warnings, 1);
  ASSERT_EQ(probe->attach(), NoError);
  const json before = Dump();
  ASSERT_EQ(before["materials"].size(), 1u);
  EXPECT_FALSE(before["materials"][0]["modelerHasTexture"].get<bool>());

  const std::string broken = temp.File("broken.obj");
  std::ofstream(broken) << "v 0 0 0\nv 1 0 0\nf 1 2 9\n";
  const auto refused = host->OpenProject(broken);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().rfind(broken + ": ", 0), 0u) << refused.error();
  EXPECT_EQ(Dump(), before);
}

}  // namespace
