// hostsim sessions driving the UI test add-on. Every session test of the
// add-on trusts hostsim to fail a run whose expectation does not hold, whose
// question finds no answer or whose action is refused. The real add-on's UI,
// loaded and unloaded, is the module sessions'.
#include <gtest/gtest.h>

#include <algorithm>

#include "ui_env.h"

using uitest::RunHostsim;

namespace {

std::string Load() { return std::string("load ") + CORV_UIADDON_PATH + "\n"; }

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// The reasons of the run's errors, in order, each with its script line
// (0 where the error is not a line's); an answer never asked for has no
// reason but its kind.
std::vector<std::pair<int, std::string>> Errors(const uitest::Run& r) {
  std::vector<std::pair<int, std::string>> out;
  for (const auto& e : r.Of("error"))
    out.emplace_back(e.value("line", 0), e.value("reason", "unused " + e.value("answer", "")));
  return out;
}

// One session: each wrong expectation, unanswered question and refused
// action is an error of its own line while the run goes on, and the right
// ones pass. The settings dialog's refused action drops the rest of its
// answer; a value past the field's range is clamped.
TEST(HostsimSession, WrongExpectationsUnansweredQuestionsAndRefusedActionsFailTheRun) {
  const std::string script = Load() + R"HS(expect menu 32101 enabled
new
expect menu 32101 enabled
menu 32101
answer msgbox ok
menu 32101
expect menutext 32101 "Begin"
expect status "Linked"
menu 32106
expect menu 32106 checked
expect palette 2 icon 99
expect palette 3 disabled
expect tooltip 2 "Start"
expect tooltip 6 "Export (from the help resource)"
palette click 5
palette click 2
answer dialog 32205 set 6 5; check 2 off; click 1
menu 32107
answer dialog 32205 check 2 off; select 5 4; set 6 150; check 3 on; click 1
menu 32107
sample
sample
idle update
answer msgbox ok
)HS";
  auto r = RunHostsim("strict", script);
  EXPECT_EQ(r.status, 1) << r.output;
  const std::vector<std::pair<int, std::string>> expected = {
      {2, "menu 32101 is not enabled"},
      {0, "no answer is queued"},
      {8, "menu 32101 reads \"Start Link\""},
      {9, "status bar reads \"\""},
      {12, "palette item 2 shows icon 32111"},
      {13, "palette item 3 is not disabled"},
      {14, "tooltip is \"(none)\""},
      {16, "cannot be clicked"},
      {18, "disabled"},
      {25, "unused msgbox"},
  };
  const auto errors = Errors(r);
  ASSERT_EQ(errors.size(), expected.size()) << r.output;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].first != 0) {
      EXPECT_EQ(errors[i].first, expected[i].first) << errors[i].second;
    }
    EXPECT_NE(errors[i].second.find(expected[i].second), std::string::npos)
        << "error " << i << ": " << errors[i].second;
  }
  // The unanswered box pressed its only button; both boxes wore the icon
  // the add-on's hook set, and the hook was gone after each.
  const auto answers = r.Of("msgbox.answer");
  ASSERT_EQ(answers.size(), 2u) << r.output;
  for (const auto& a : answers) {
    EXPECT_EQ(a["button"], 1);
    EXPECT_EQ(a["smallIcon"], 101);
  }
  EXPECT_EQ(r.Of("hook.remove").size(), 2u);
  EXPECT_TRUE(Has(r.journal, "palette click 2"));
  EXPECT_FALSE(Has(r.journal, "palette click 5"));
  // The refused answer left the dialog as it was; the second was clamped.
  EXPECT_TRUE(Has(r.journal, "settings follow=1 optimize=0 level=1 offset=0.250")) << r.output;
  EXPECT_TRUE(Has(r.journal, "settings follow=0 optimize=1 level=0 offset=100.000")) << r.output;
  // The second sample wrote the same menu states again: logged as
  // unchanged, never as a change. The update message reached the idle dialog.
  const auto unchanged = r.Of("menu.flags.unchanged");
  EXPECT_FALSE(unchanged.empty());
  for (const auto& e : unchanged) EXPECT_EQ(e["changed"], false);
  for (const auto& e : r.Of("menu.flags")) EXPECT_EQ(e["changed"], true);
  EXPECT_TRUE(Has(r.journal, "update")) << r.output;
}

}  // namespace
