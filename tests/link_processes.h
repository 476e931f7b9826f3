// What the tests of the live link between real processes share: hostsim's
// named signals, its JSON log, the registry of connections, and what a
// renderer holds of a link, read from this process as its canonical form.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "livelink/canonical_scene.h"
#include "livelink/live_connection.h"

namespace link_test {

using json = nlohmann::json;
namespace fs = std::filesystem;

// The sanitizer builds run the process tests smaller.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

inline fs::path SignalDir() { return fs::path(std::getenv("CORV_RUNTIME_DIR")) / "hostsim-signals"; }

// Raises a signal that hostsim's `await` takes down.
inline void Raise(const std::string& name) {
  fs::create_directories(SignalDir());
  const fs::path tmp = SignalDir() / ("." + name + ".tmp");
  std::ofstream(tmp) << "1";
  fs::rename(tmp, SignalDir() / name);
}

// Waits for hostsim's signal and takes it down.
inline bool Awaited(const std::string& name, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    std::error_code ec;
    if (fs::remove(SignalDir() / name, ec)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// hostsim's JSON log, one event a line.
inline std::vector<json> Log(const std::string& path) {
  std::vector<json> events;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    json j = json::parse(line, nullptr, false);
    if (!j.is_discarded()) events.push_back(j);
  }
  return events;
}

// The text field of every event of a kind.
inline std::vector<std::string> Texts(const std::vector<json>& log, const std::string& kind,
                                      const std::string& field) {
  std::vector<std::string> out;
  for (const auto& e : log)
    if (e.value("kind", "") == kind && e.contains(field) && e[field].is_string()) out.push_back(e[field]);
  return out;
}

inline bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

inline int ExitCode(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

inline bool IsRegistered(const std::u16string& name) {
  CorvantaAPI::LiveConnection probe;
  for (const auto& n : probe.EnumConnections(0))
    if (n == name) return true;
  return false;
}

// What a renderer holds of the link now, read under its lock through a
// guest connection of this process (closed again, so the link's memory
// is not kept alive by the test). Problems of the read fail the test.
inline CorvantaAPI::CanonicalScene ReadLink(const std::u16string& name) {
  CorvantaAPI::LiveConnection guest;
  if (guest.Open(name) != 0) {
    ADD_FAILURE() << "the link does not open";
    return {};
  }
  CorvantaAPI::CanonicalScene scene = CorvantaAPI::ReadCanonicalScene(guest);
  for (const auto& problem : scene.problems) ADD_FAILURE() << problem;
  guest.Close();
  return scene;
}

// `after` holds what `before` held, surface by surface with every
// surface's material unchanged, and the twelve triangles of a box between
// the host points lo and hi (z up), which the link stores as (x, z, y) with
// the default vertical offset 0.
inline void ExpectBoxAdded(const CorvantaAPI::CanonicalScene& before, const CorvantaAPI::CanonicalScene& after,
                           const std::array<float, 3>& lo, const std::array<float, 3>& hi) {
  std::vector<CorvantaAPI::CanonicalTriangle> added, gone;
  auto less = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) < 0; };
  ASSERT_EQ(before.surfaces.size(), after.surfaces.size());
  for (std::size_t i = 0; i < before.surfaces.size(); ++i) {
    const auto &b = before.surfaces[i].triangles, &a = after.surfaces[i].triangles;
    EXPECT_TRUE(CorvantaAPI::SameMaterial(before.surfaces[i].material, after.surfaces[i].material));
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(added), less);
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(gone), less);
  }
  EXPECT_TRUE(gone.empty()) << gone.size() << " triangles gone";
  EXPECT_EQ(added.size(), 12u);
  const std::array<int, 3> axis{0, 2, 1};  // link axis i holds host axis axis[i]
  for (const auto& triangle : added)
    for (const auto& corner : triangle)
      for (int i = 0; i < 3; ++i) {
        EXPECT_GE(corner.position[i], lo[axis[i]] - 1e-4f) << "a corner off the box";
        EXPECT_LE(corner.position[i], hi[axis[i]] + 1e-4f) << "a corner off the box";
      }
}

}  // namespace link_test
