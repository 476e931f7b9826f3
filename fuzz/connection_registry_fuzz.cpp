// The per-user registry of connections as another program (a renderer, a
// user's editor, another user's tool writing to a shared home) could leave
// its values file. The input is the file of the connections key; then the
// renderer's enumeration runs (which purges the values of links whose area
// is gone) and a link start registers and removes its own name.
//
// Nothing is lost: a damaged file is left exactly as it was, and the values
// the enumeration skips (names that do not fit, data longer than four
// bytes), or whose area lives, keep their place and bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "shared_bytes.h"
#include "isolation.h"
#include "memory_registry.h"
#include "livelink/live_connection.h"
#include "registry_store.h"

using namespace CorvantaAPI;
namespace regstore = platform::regstore;

namespace {

// A link whose area lives for the whole run: its value must survive.
constexpr char16_t kLiveLink[] = u"live";

std::string ValuesFile() {
  return std::string(std::getenv("CORV_REGISTRY_HKCU")) + "/Software/Torvik/LiveConnections/.values.json";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Kept(const regstore::Value& value) {
  return value.name.size() >= kConnectionNameLimit || value.data.size() > 4 || value.name == kLiveLink;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  livelink_test::Isolated();
  corv_fuzz::MoveRegistryToMemory();
  std::filesystem::create_directories(std::filesystem::path(ValuesFile()).parent_path());
  // Held to the end of the process.
  static corv_fuzz::SharedBytes live(MappingNameFor(kLiveLink), "HEAD");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = ValuesFile();
  const std::string before(reinterpret_cast<const char*>(data), size);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << before;
  std::vector<regstore::Value> values;
  const bool parsed = regstore::ParseValues(before, values);

  LiveConnection renderer;
  const std::vector<std::u16string> listed = renderer.EnumConnections(0);
  renderer.EnumConnections(1);

  const std::string after = ReadAll(path);
  if (!parsed) {
    if (after != before) __builtin_trap();  // a damaged file is never rewritten
    if (!listed.empty()) __builtin_trap();
    return 0;
  }
  std::vector<regstore::Value> left;
  if (!regstore::ParseValues(after, left)) __builtin_trap();  // the purge wrote a file it cannot read
  for (const auto& value : values) {
    if (!Kept(value)) continue;
    bool found = false;
    for (const auto& other : left) found = found || (other.name == value.name && other.data == value.data);
    if (!found) __builtin_trap();  // a value that had to stay is gone
  }
  for (const auto& name : listed) {
    bool known = false;
    for (const auto& value : values) known = known || value.name == name;
    if (!known) __builtin_trap();  // only names the file holds are listed
  }
  // A publisher registering and removing its own name beside those values.
  LiveConnection publisher;
  // Either may be refused by a store the input left damaged; neither may crash.
  (void)publisher.RegisterConnection(u"C:\\Links\\fuzz.dae");
  (void)publisher.UnregisterConnection(u"C:\\Links\\fuzz.dae");
  return 0;
}
