// The live view in a real browser: hostsim with the add-on links the
// sample building to "velmar serve", headless Chromium (software WebGL)
// shows the page, and its screenshots are held against velmar's own
// software picture of the same update and camera: the share of pixels
// that are not background, and the colour at points inside the building's
// faces. After an edit the page shows it, and after a move that changes
// part of a surface, only that part travels, with the times it was applied
// and drawn; "fit" frames the whole model; when the link ends the view
// empties and says so.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "hostmodel/model.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "image.h"
#include "isolation.h"
#include "live_browser.h"
#include "picture.h"
#include "tools/velmar_peer.h"

using live_test::Browser;
using livelink_test::ChildProcess;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 30000;
constexpr int kWidth = 640, kHeight = 480;

// A screen rectangle left out of the comparison (the page's overlay).
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool Holds(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

bool Background(const std::uint8_t* p) {
  const int r = velmar::kBackground >> 16, g = (velmar::kBackground >> 8) & 0xFF, b = velmar::kBackground & 0xFF;
  return std::abs(p[0] - r) <= 6 && std::abs(p[1] - g) <= 6 && std::abs(p[2] - b) <= 6;
}

// The share of pixels (outside skip) whose colour differs between a and b.
double Changed(const velmar::Image& a, const velmar::Image& b, const Box& skip) {
  std::size_t changed = 0, all = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      if (skip.Holds(x, y)) continue;
      ++all;
      for (int c = 0; c < 3; ++c)
        if (std::abs(a.At(x, y)[c] - b.At(x, y)[c]) > 24) {
          ++changed;
          break;
        }
    }
  return all == 0 ? 0 : static_cast<double>(changed) / all;
}

double Covered(const velmar::Image& image, const Box& skip) {
  std::size_t covered = 0, all = 0;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      if (skip.Holds(x, y)) continue;
      ++all;
      covered += Background(image.At(x, y)) ? 0 : 1;
    }
  return all == 0 ? 0 : static_cast<double>(covered) / static_cast<double>(all);
}

// Points of a grid where velmar's picture is inside one face (its 5 x 5
// neighbourhood of one colour, not background): the page must have nearly
// that colour there. The share of such points that agree.
double AgreeingColours(const velmar::Image& velmarPicture, const velmar::Image& page, const Box& skip, int* points) {
  int agree = 0;
  *points = 0;
  for (int y = 4; y + 4 < velmarPicture.height; y += 4)
    for (int x = 4; x + 4 < velmarPicture.width; x += 4) {
      if (skip.Holds(x, y)) continue;
      const std::uint8_t* centre = velmarPicture.At(x, y);
      if (Background(centre)) continue;
      bool flat = true;
      for (int dy = -2; dy <= 2 && flat; ++dy)
        for (int dx = -2; dx <= 2 && flat; ++dx) {
          const std::uint8_t* q = velmarPicture.At(x + dx, y + dy);
          for (int c = 0; c < 3; ++c) flat = flat && std::abs(q[c] - centre[c]) <= 4;
        }
      if (!flat) continue;
      ++*points;
      const std::uint8_t* seen = page.At(x, y);
      bool close = true;
      for (int c = 0; c < 3; ++c) close = close && std::abs(seen[c] - centre[c]) <= 20;
      agree += close ? 1 : 0;
    }
  return *points == 0 ? 0 : static_cast<double>(agree) / *points;
}

// The page's largest message: 0 for velmar's own limit, under which the
// sample's surfaces each come in one frame; a small one, under which most
// come as their counts and then ranges of their arrays.
class BrowserTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    if (Browser::Program().empty()) GTEST_SKIP() << "no Chromium (scripts/install-deps.sh installs it)";
    livelink_test::Isolated();
    dir_ = fs::temp_directory_path() / ("velmar-browser-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "pictures");
    out_ = fs::path(VELMAR_TEST_OUTPUT) / (GetParam() == 0 ? "browser-test" : "browser-test-ranges");
    fs::remove_all(out_);
    fs::create_directories(out_);
    project_ = (dir_ / "House.pln").string();
    ASSERT_TRUE(hostmodel::SaveProjectFile(hostmodel::SampleBuilding(), project_).ok());
  }
  void TearDown() override {
    browser_.reset();
    velmar_test::EndHostAndVelmar(host_.get(), velmar_.get());
    fs::remove_all(dir_);
  }

  // The first of velmar's events not taken yet of that kind for which
  // accept holds (see serve_test.cpp); null on timeout.
  // from: where in the events to begin; *at: where the one returned was.
  template <typename Accept>
  json Next(const std::string& event, Accept accept, std::size_t from = 0, std::size_t* at = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (std::size_t i = from;; ++i) {
      while (i == events_.size()) {
        std::string line;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !velmar_->ReadLine(&line, static_cast<int>(left))) return nullptr;
        json value = json::parse(line, nullptr, false);
        if (value.is_object()) {
          events_.push_back(std::move(value));
          taken_.push_back(false);
        }
      }
      if (!taken_[i] && events_[i].value("event", "") == event && accept(events_[i])) {
        if (at != nullptr) *at = i;
        taken_[i] = true;
        return events_[i];
      }
    }
  }

  // velmar's picture of the update it numbered `live` for the page: the
  // "picture" event after that "update" (taken or not).
  std::string PictureOf(std::uint32_t live) {
    // The page may have shown it before velmar's line about it was read.
    auto same = [&](const json& e) { return e.value("live", 0u) == live; };
    std::size_t known = 0;
    if (std::none_of(events_.begin(), events_.end(),
                     [&](const json& e) { return e.value("event", "") == "update" && same(e); }) &&
        Next("update", same, 0, &known).is_null())
      return "";
    for (std::size_t i = 0; i < events_.size(); ++i)
      if (events_[i].value("event", "") == "update" && events_[i].value("live", 0u) == live) {
        for (std::size_t at = i + 1;; ++at) {
          if (at == events_.size() && Next(
                                          "picture", [](const json&) { return true; }, at)
                                          .is_null())
            return "";
          if (events_[at].value("event", "") == "picture") return events_[at]["path"];
        }
      }
    return "";
  }

  // The overlay's rectangle on the page, left out of comparisons.
  Box Overlay() {
    const json rect = browser_->Evaluate(
        "(() => { const r = document.getElementById('overlay').getBoundingClientRect();"
        " return [r.left, r.top, r.right, r.bottom].map(Math.ceil); })()",
        kWaitMs);
    EXPECT_TRUE(rect.is_array());
    return rect.is_array() ? Box{0, 0, rect[2].get<int>() + 2, rect[3].get<int>() + 2} : Box{};
  }

  void Host(const std::string& command) {
    ASSERT_TRUE(velmar_test::RunHostCommand(*host_, command, "browser test step " + std::to_string(++steps_), kWaitMs));
  }

  // The page's screenshot of the update velmar numbered `update` or a
  // later one, with velmar's picture of the same update.
  void Shoot(std::uint32_t update, const std::string& name, velmar::Image* page, velmar::Image* picture) {
    ASSERT_TRUE(browser_->WaitShown(update, kWaitMs)) << "the page did not show update " << update;
    // Updates may follow (the camera, the status): the screenshot is of
    // whatever the page showed last, and that is the one compared.
    std::uint32_t shown = 0;
    std::vector<std::uint8_t> png;
    for (int attempt = 0; attempt < 5; ++attempt) {
      shown = browser_->Evaluate("Number(document.documentElement.dataset.shown)", kWaitMs).get<std::uint32_t>();
      png = browser_->Screenshot();
      if (browser_->Evaluate("Number(document.documentElement.dataset.shown)", kWaitMs).get<std::uint32_t>() == shown)
        break;
    }
    ASSERT_FALSE(png.empty());
    Keep(png, name, page);
    std::string error;
    ASSERT_EQ(page->width, kWidth);
    ASSERT_EQ(page->height, kHeight);
    // velmar's picture of that update: the "picture" event after its "update".
    const std::string drawn = PictureOf(shown);
    ASSERT_FALSE(drawn.empty()) << "no picture of update " << shown;
    ASSERT_TRUE(velmar::ReadImageFile(drawn, picture, &error)) << error;
    fs::copy_file(drawn, out_ / ("velmar-" + name + ".png"), fs::copy_options::overwrite_existing);
  }

  // The page's screenshot kept as page-NAME.png among the test's pictures,
  // and read back.
  void Keep(const std::vector<std::uint8_t>& png, const std::string& name, velmar::Image* image) {
    const std::string path = (out_ / ("page-" + name + ".png")).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    std::string error;
    ASSERT_TRUE(velmar::ReadImageFile(path, image, &error)) << error;
  }

  void ExpectAlike(const velmar::Image& page, const velmar::Image& picture, const Box& overlay) {
    const double pageCovered = Covered(page, overlay), velmarCovered = Covered(picture, overlay);
    EXPECT_GT(velmarCovered, 0.05) << "velmar's picture shows little of the building";
    EXPECT_NEAR(pageCovered, velmarCovered, 0.03) << "the building covers another share of the view";
    int points = 0;
    const double agree = AgreeingColours(picture, page, overlay, &points);
    EXPECT_GT(points, 40) << "too few points inside faces to compare";
    EXPECT_GT(agree, 0.9) << "of " << points << " points inside faces";
  }

  fs::path dir_, out_;
  std::string project_;
  std::unique_ptr<ChildProcess> velmar_, host_;
  std::unique_ptr<Browser> browser_;
  std::vector<json> events_;
  std::vector<bool> taken_;
  int steps_ = 0;
};

TEST_P(BrowserTest, ThePageShowsTheBuildingAsVelmarDrawsItFollowsAnEditAndEmptiesWhenTheLinkEnds) {
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  std::vector<std::string> args = {"--json", "serve", "--port", "0", "--snapshots", (dir_ / "pictures").string(),
                                   "--size", size};
  if (GetParam() != 0) args.insert(args.end(), {"--frame-limit", std::to_string(GetParam())});
  velmar_ = ChildProcess::Start(VELMAR_PROGRAM, args);
  ASSERT_NE(velmar_, nullptr);
  const json serving = Next("serving", [](const json&) { return true; });
  ASSERT_TRUE(serving.is_object());
  browser_ = std::make_unique<Browser>();
  std::string error;
  ASSERT_TRUE(browser_->Open(serving["url"], kWidth, kHeight, &error)) << error;

  host_ = ChildProcess::Start(CORV_HOSTSIM_PATH, {"--no-launch", "--echo", "--addon", CORV_ADDON_PATH, "--json",
                                                  (dir_ / "session.jsonl").string()});
  ASSERT_NE(host_, nullptr);
  Host("open " + project_);
  Host("window 3d");
  Host("menu 32101");  // Start Corvanta
  const json first = Next("update", [](const json& e) { return e["read"].value("geometries", 0) > 0; });
  ASSERT_TRUE(first.is_object());

  velmar::Image pageStart, velmarStart;
  Shoot(first["live"], "start", &pageStart, &velmarStart);
  const Box overlay = Overlay();
  {
    SCOPED_TRACE("after the start");
    ExpectAlike(pageStart, velmarStart, overlay);
  }

  Host("edit box 2 -4 0 4 -2 2 1");  // a box of concrete
  const json edited = Next("update", [](const json& e) { return e["read"].value("geometries", 0) == 1; });
  ASSERT_TRUE(edited.is_object());
  velmar::Image pageEdit, velmarEdit;
  Shoot(edited["live"], "edit", &pageEdit, &velmarEdit);
  {
    SCOPED_TRACE("after the edit");
    ExpectAlike(pageEdit, velmarEdit, overlay);
    EXPECT_GT(Covered(pageEdit, overlay), Covered(pageStart, overlay) + 0.002) << "the box does not show";
  }

  // The slab lifted: part of the concrete surface (the box stays), its
  // counts kept. Only the changed ranges reach the page, which shows the
  // move as velmar draws it.
  Host("edit move " + hostmodel::Guid::FromName("sample element:Floor slab").ToString() + " 0 0 1");
  const json moved = Next("update", [](const json& e) { return e["read"].value("geometries", 0) == 1; });
  ASSERT_TRUE(moved.is_object());
  velmar::Image pageMove, velmarMove;
  Shoot(moved["live"], "move", &pageMove, &velmarMove);
  {
    SCOPED_TRACE("after the move");
    ExpectAlike(pageMove, velmarMove, overlay);
    EXPECT_GT(Changed(pageMove, pageEdit, overlay), 0.005) << "the slab did not move";
  }
  const json shown = Next("page", [&](const json& e) { return e.value("update", 0u) >= moved["live"]; });
  const json& concrete = moved["changed"]["surfaces"][0];
  if (GetParam() != 0) {
    EXPECT_GT(32 + 32 * concrete["vertices"].get<std::size_t>() + 12 * concrete["triangles"].get<std::size_t>(),
              GetParam())
        << "the moved surface fits one frame: its ranges were not what filled it" << concrete.dump();
  }
  EXPECT_LT(shown.value("bytes", 0u),
            32 + 32 * concrete["vertices"].get<unsigned>() + 12 * concrete["triangles"].get<unsigned>())
      << "the whole surface was sent again";
  // Its figures from velmar's wake-up, in the order they happen: in the
  // page's buffers, drawn, shown; the overlay gives the first two.
  {
    SCOPED_TRACE(shown.dump());
    ASSERT_TRUE(shown.contains("appliedMs") && shown.contains("drawnMs") && shown.contains("delayMs"));
    const double applied = shown["appliedMs"], drawn = shown["drawnMs"], delay = shown["delayMs"];
    EXPECT_GE(applied, 0.0);
    EXPECT_LE(applied, drawn);
    EXPECT_LE(drawn, delay);
    const json text = browser_->Evaluate("document.getElementById('last').textContent", kWaitMs);
    ASSERT_TRUE(text.is_string());
    EXPECT_NE(text.get<std::string>().find(" ms, drawn "), std::string::npos) << text;
    EXPECT_NE(text.get<std::string>().find("applied "), std::string::npos) << text;
  }

  // A page opened now, while the link is held, is sent the whole scene as
  // velmar holds it, made for it from velmar's own copy (the view keeps
  // none), and shows what the first page shows.
  {
    SCOPED_TRACE("a page opened late");
    Browser late;
    ASSERT_TRUE(late.Open(serving["url"], kWidth, kHeight, &error)) << error;
    ASSERT_TRUE(late.WaitShown(moved["live"], kWaitMs)) << "the late page shows nothing";
    velmar::Image latePage;
    Keep(late.Screenshot(), "late", &latePage);
    ExpectAlike(latePage, velmarMove, overlay);
    EXPECT_LT(Changed(latePage, pageMove, overlay), 0.01) << "the late page shows another scene";
  }

  // "fit" frames the whole model whatever camera the page had: after
  // zooming far in (80 turns of the wheel), the building is back in view,
  // clear of the edges.
  {
    SCOPED_TRACE("fit");
    const json fitted = browser_->Evaluate(
        "new Promise((done) => {"
        " for (let i = 0; i < 80; ++i) document.querySelector('canvas').dispatchEvent("
        "   new WheelEvent('wheel', { deltaY: 100, clientX: 320, clientY: 240, bubbles: true, cancelable: true }));"
        " document.getElementById('fit').click();"
        " requestAnimationFrame(() => requestAnimationFrame(() =>"
        "   done([document.getElementById('follow').checked, document.documentElement.dataset.fitted || ''])));"
        "})",
        kWaitMs);
    ASSERT_TRUE(fitted.is_array()) << fitted;
    EXPECT_FALSE(fitted[0].get<bool>()) << "fitting left the host's camera followed";
    EXPECT_NE(fitted[1].get<std::string>(), "");
    velmar::Image fit;
    Keep(browser_->Screenshot(), "fit", &fit);
    EXPECT_GT(Covered(fit, overlay), 0.05) << "the building is not in view";
    int edge = 0;
    for (int x = 0; x < fit.width; ++x)
      for (int y : {0, fit.height - 1})
        if (!overlay.Holds(x, y) && !Background(fit.At(x, y))) ++edge;
    for (int y = 0; y < fit.height; ++y)
      for (int x : {0, fit.width - 1})
        if (!overlay.Holds(x, y) && !Background(fit.At(x, y))) ++edge;
    EXPECT_EQ(edge, 0) << "the building reaches the view's edge: not all of it is framed";
  }

  Host("menu 32103");  // Stop Corvanta
  ASSERT_TRUE(Next("link-ended", [](const json&) { return true; }).is_object());
  const json ended = browser_->Evaluate(
      "new Promise((done) => { const check = () => document.documentElement.dataset.state === 'ended'"
      " ? done(document.getElementById('link').textContent) : setTimeout(check, 20); check(); })",
      kWaitMs);
  ASSERT_TRUE(ended.is_string());
  EXPECT_NE(ended.get<std::string>().find("ended"), std::string::npos) << ended;
  velmar::Image empty;
  Keep(browser_->Screenshot(), "ended", &empty);
  EXPECT_EQ(Covered(empty, Overlay()), 0.0) << "the view keeps something of the ended link";
}

INSTANTIATE_TEST_SUITE_P(FrameLimits, BrowserTest, ::testing::Values(std::size_t{0}, std::size_t{1024}),
                         [](const ::testing::TestParamInfo<std::size_t>& limit) {
                           return limit.param == 0 ? std::string("OneFramePerSurface")
                                                   : std::string("LargeSurfacesInRanges");
                         });

}  // namespace
