// The other process of the transport tests. It creates or opens a control
// area and then obeys one command per input line, answering on its output:
//
//   livelink_peer create NAME CAPACITY     -> "created RC"
//   livelink_peer open NAME                -> "opened RC"
//   livelink_peer scribble NAME SEED       -> "opened RC", "scribbling" (until killed)
//
// Commands: "block SIZE TEXT" (CreateBlock owned by record 1, TEXT written at
// its start) -> "block ID"; "read ID" -> "read TEXT" or "read -"; "poke ID"
// (writes the block's first byte) -> "poked" or "poked -"; "lock" ->
// "lock 1|0" (Lock(0)); "unlock" -> "unlocked";
// "end" -> "ended" (sets the closed flag); "foreground" -> "foreground 1|0"
// (IsOwnerForeground); "growblock ID" -> "growing", then "grown N" (opens the
// block, grows its object once, says "growing", then goes on growing it page
// by page until the next input line; N steps in all). End of input quits.
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>

#include "livelink/live_connection.h"

using CorvantaAPI::LiveConnection;

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

void Say(const std::string& line) {
  std::cout << line << std::endl;  // flushed: the test waits for each line
}

int Serve(LiveConnection& connection) {
  std::string line;
  while (std::getline(std::cin, line)) {
    char command[32] = {};
    std::sscanf(line.c_str(), "%31s", command);
    const std::string verb = command;
    if (verb == "growblock") {
#ifdef _WIN32
      // A section's size is fixed on Windows: nothing can grow it.
      Say("unsupported");
#else
      unsigned long id = 0;
      std::sscanf(line.c_str(), "growblock %lu", &id);
      connection.OpenBlock(static_cast<std::uint32_t>(id));  // keeps the object alive
      const std::u16string mapping = CorvantaAPI::BlockName(
          CorvantaAPI::LoadShared(connection.Area().header()->creatorPid), static_cast<std::uint32_t>(id));
      const int fd = ::shm_open(platform::ShmObjectName(mapping).c_str(), O_RDWR, 0);
      // The first growth happens before the answer, so a test that waits for
      // "growing" knows the object has grown at least once, however the two
      // processes are scheduled afterwards.
      long steps = fd >= 0 && ::ftruncate(fd, 8192) == 0 ? 1 : 0;
      Say("growing");
      pollfd input{0, POLLIN, 0};
      for (off_t size = 12288; fd >= 0 && ::poll(&input, 1, 0) == 0;
           size = size >= (off_t{64} << 20) ? 8192 : size + 4096)
        if (::ftruncate(fd, size) == 0) ++steps;
      if (fd >= 0) ::close(fd);
      std::getline(std::cin, line);
      Say("grown " + std::to_string(steps));
#endif
    } else if (verb == "block") {
      unsigned size = 0;
      char text[256] = {};
      std::sscanf(line.c_str(), "block %u %255s", &size, text);
      const std::uint32_t id = connection.CreateBlock(1, size);
      if (id != 0) {
        void* view = connection.OpenBlock(id);
        if (view != nullptr) std::memcpy(view, text, std::min<std::size_t>(std::strlen(text) + 1, size));
      }
      Say("block " + std::to_string(id));
    } else if (verb == "read") {
      unsigned long id = 0;
      std::sscanf(line.c_str(), "read %lu", &id);
      const auto* view = static_cast<const char*>(connection.OpenBlock(static_cast<std::uint32_t>(id)));
      const std::size_t size = connection.GetBlockSize(static_cast<std::uint32_t>(id));
      Say(view == nullptr || size == 0 ? "read -" : "read " + std::string(view, strnlen(view, size)));
    } else if (verb == "poke") {
      // A renderer that would convert a block in place: writes its first byte.
      unsigned long id = 0;
      std::sscanf(line.c_str(), "poke %lu", &id);
      auto* view = static_cast<volatile char*>(connection.OpenBlock(static_cast<std::uint32_t>(id)));
      if (view != nullptr) view[0] = 'X';
      Say(view == nullptr ? "poked -" : "poked");
    } else if (verb == "lock") {
      Say(connection.Lock(0) ? "lock 1" : "lock 0");
    } else if (verb == "unlock") {
      connection.Unlock();
      Say("unlocked");
    } else if (verb == "foreground") {
      Say(connection.IsOwnerForeground() ? "foreground 1" : "foreground 0");
    } else if (verb == "end") {
      connection.SetFlags(CorvantaAPI::kFlagClosed);
      Say("ended");
    }
  }
  return 0;
}

// Writes random values over the header and the record heads of an open
// area until killed; the test reads the area as a guest meanwhile.
[[noreturn]] void Scribble(LiveConnection& connection, unsigned seed) {
  std::mt19937 random(seed);
  auto* base = reinterpret_cast<std::uint8_t*>(connection.Area().header());
  const std::size_t bytes = connection.MappedBytes();
  // Values that hit the interesting edges more often than uniform noise.
  const std::uint32_t edges[] = {0,
                                 1,
                                 2,
                                 19,
                                 20,
                                 21,
                                 2047,
                                 2048,
                                 2049,
                                 0x7FFFFFFF,
                                 0x80000000u,
                                 0xFFFFFFFFu,
                                 CorvantaAPI::kTypeHead,
                                 CorvantaAPI::kTypeStat,
                                 CorvantaAPI::kTypeView,
                                 CorvantaAPI::kTypeSurface};
  Say("scribbling");
  for (;;) {
    std::uint32_t value = (random() % 2) ? edges[random() % std::size(edges)] : static_cast<std::uint32_t>(random());
    std::size_t offset;
    if (random() % 2) {
      offset = (random() % (1244 / 4)) * 4;  // a header field
    } else {
      const std::size_t slots = (bytes - 2048) / 2048;
      if (slots == 0) continue;
      offset = 2048 + (random() % slots) * 2048 + (random() % 8) * 4;  // a record head or STAT
    }
    if (offset + 4 > bytes) continue;
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(base + offset), value, __ATOMIC_RELAXED);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 3 ? argv[1] : "";
  LiveConnection connection;
  if (mode == "create" && argc >= 4) {
    const int rc = static_cast<int>(
        connection.Create(Widen(argv[2]), static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10))));
    Say("created " + std::to_string(rc));
    return rc == 0 ? Serve(connection) : 1;
  }
  if (mode == "open" || (mode == "scribble" && argc >= 4)) {
    const int rc = connection.Open(Widen(argv[2]));
    Say("opened " + std::to_string(rc));
    if (rc != 0) return 1;
    if (mode == "scribble") Scribble(connection, static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    return Serve(connection);
  }
  std::fprintf(stderr, "usage: livelink_peer create|open|scribble NAME [...]\n");
  return 2;
}
