// The controller's host queries against a host running in this program, and
// the text rules behind the connection name.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "host/host.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "hostsdk/loader.h"
#include "isolation.h"
#include "context/host_queries.h"

API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType{}; }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }

namespace {

using namespace context;

TEST(TextRules, PercentDecodingAndTheConnectionName) {
  EXPECT_EQ(PercentDecode(u"a%20b"), u"a b");
  EXPECT_EQ(PercentDecode(u"%C3%A9t%c3%a9"), u"\u00e9t\u00e9");  // two-byte sequences
  EXPECT_EQ(PercentDecode(u"%E2%82%AC"), u"\u20ac");             // three bytes, one unit
  EXPECT_EQ(PercentDecode(u"x%F0%9F%98%80y"), u"xy");            // four bytes give nothing
  EXPECT_EQ(PercentDecode(u"%80%BFz"), u"z");                    // stray continuations
  EXPECT_EQ(PercentDecode(u"50%"), u"50%");                      // too short to decode
  EXPECT_EQ(PercentDecode(u"%4"), u"%4");
  EXPECT_EQ(PercentDecode(u"%zz%41"), u"%zzA");        // not hexadecimal
  EXPECT_EQ(PercentDecode(u"%C3x"), u"x");             // a cut sequence is dropped
  EXPECT_EQ(PercentDecode(u"\u00e9%41"), u"\u00e9A");  // other characters copied
  // Decoding twice undoes a double encoding.
  EXPECT_EQ(PercentDecode(PercentDecode(u"Caf%25C3%25A9")), u"Caf\u00e9");
  // The connection name: the extension of the last component only.
  EXPECT_EQ(ConnectionNameFor(u"/p/House.pln"), u"/p/House.dae");
  EXPECT_EQ(ConnectionNameFor(u"/p/House.v2.pln"), u"/p/House.v2.dae");
  EXPECT_EQ(ConnectionNameFor(u"/p/proj.old/House"), u"/p/proj.old/House.dae");
  EXPECT_EQ(ConnectionNameFor(u"House"), u"House.dae");
#ifdef _WIN32
  // Windows paths separate with "\" too: a dot in a folder is no extension.
  EXPECT_EQ(ConnectionNameFor(u"C:\\p\\proj.old\\House"), u"C:\\p\\proj.old\\House.dae");
  EXPECT_EQ(FileNameOf(u"C:\\p\\House.pln"), u"House.pln");
#endif
  EXPECT_EQ(FileNameOf(u"/p/House.dae"), u"House.dae");
  EXPECT_EQ(FileNameOf(u"House.dae"), u"House.dae");
}

class HostQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    host::Host::Options options;
    options.publishMainWindow = false;
    host = std::make_unique<host::Host>(options);
    ASSERT_EQ(SetImportedFuncAddrs(&host->Table().Raw()), NoError);
    scope = std::make_unique<host::Host::AddonScope>(*host, 0);
  }
  std::string SaveSample(const std::string& name) {
    // Joined as the system writes paths: the host reports them so.
    const auto joined = (std::filesystem::u8path(livelink_test::Isolated().root()) / name).u8string();
    const std::string path(joined.begin(), joined.end());
    EXPECT_TRUE(hostmodel::SaveProjectFile(hostmodel::SampleBuilding(), path).ok());
    return path;
  }
  std::unique_ptr<host::Host> host;
  std::unique_ptr<host::Host::AddonScope> scope;  // ends before the host
};

TEST_F(HostQueries, ProjectPathForNoneUntitledSoloAndTeamworkProjects) {
  EXPECT_FALSE(IsProjectAvailable());
  EXPECT_EQ(GetProjectFilePath(), u"");
  ASSERT_TRUE(host->NewProject().ok());
  EXPECT_TRUE(IsProjectAvailable());
  EXPECT_EQ(GetProjectFilePath(), u"");  // untitled
  const std::string path = SaveSample("Villa.pln");
  ASSERT_TRUE(host->OpenProject(path).ok());
  EXPECT_EQ(GetProjectFilePath(), std::u16string(path.begin(), path.end()));
  // Teamwork: the text after the last '@', decoded twice, with ".pln".
  ASSERT_TRUE(host->OpenTeamworkProject(path, "twp://user@server/a@srv/Caf%25C3%25A9%2520Nord").ok());
  EXPECT_EQ(GetProjectFilePath(), u"srv/Caf\u00e9 Nord.pln");
  host->SetFault("PROJ", APIERR_GENERAL);
  EXPECT_EQ(GetProjectFilePath(), u"");
  EXPECT_FALSE(IsProjectAvailable());
}

TEST_F(HostQueries, WindowsProjectionAndVersionAndTheirNeutralAnswers) {
  ASSERT_TRUE(host->OpenProject(SaveSample("House.pln")).ok());
  ASSERT_TRUE(host->SwitchWindow(hostmodel::WindowType::FloorPlan).ok());
  EXPECT_FALSE(Is3DWindowCurrent());
  EXPECT_TRUE(Make3DWindowCurrent() && Is3DWindowCurrent());
  ASSERT_TRUE(host->SetProjection(false).ok());
  EXPECT_FALSE(IsPerspectiveView());
  SwitchToPerspective();
  EXPECT_TRUE(IsPerspectiveView());
  const std::u16string version = GetHostVersion();
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(GetHostLabel(), u"ArchiCAD " + version);
  host->SetFault("GWIN", APIERR_GENERAL);
  host->SetFault("GP3D", APIERR_GENERAL);
  host->SetFault("GMAP", APIERR_GENERAL);
  EXPECT_FALSE(Is3DWindowCurrent() || Make3DWindowCurrent() || IsPerspectiveView());
  EXPECT_EQ(GetHostVersion() + GetHostLabel(), u"");
}

}  // namespace
