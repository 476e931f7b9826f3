// "velmar serve" as a real process, reached through raw sockets: what it
// answers to good, foreign and malformed requests (and that it answers the
// next good one after each), where it listens, and that a page which stops
// reading or goes away mid-transfer never holds back velmar's link reading.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "isolation.h"
#include "live_client.h"
#include "live_frames.h"

using live_test::Exchange;
using live_test::Get;
using live_test::Response;
using live_test::Socket;
using live_test::WebSocket;
using livelink_test::ChildProcess;
using nlohmann::json;

namespace {

constexpr int kWaitMs = 20000;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class Velmar {
 public:
  explicit Velmar(std::vector<std::string> args) {
    args.insert(args.begin(), {"--json", "serve", "--port", "0"});
    child_ = ChildProcess::Start(VELMAR_PROGRAM, args);
    serving_ = Next("serving");
    port_ = serving_.is_object() ? serving_.value("port", 0) : 0;
  }
  ~Velmar() {
    if (child_) {
      child_->Signal(SIGTERM);
      child_->Wait(10000);
    }
  }
  std::uint16_t port() const { return static_cast<std::uint16_t>(port_); }
  std::string self() const { return "127.0.0.1:" + std::to_string(port_); }
  // The first event of that kind, not taken before, for which accept
  // holds: among those already printed, else the next ones; null on
  // timeout. Events of other kinds are kept for later questions.
  template <typename Accept>
  json Next(const std::string& event, Accept accept) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (std::size_t i = 0;; ++i) {
      while (i == events_.size()) {
        std::string line;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !child_->ReadLine(&line, static_cast<int>(left))) return nullptr;
        json value = json::parse(line, nullptr, false);
        if (value.is_object()) events_.push_back(std::move(value));
      }
      json& value = events_[i];
      if (!value.is_null() && value.value("event", "") == event && accept(value)) return std::exchange(value, nullptr);
    }
  }
  json Next(const std::string& event) {
    return Next(event, [](const json&) { return true; });
  }
  // Of the events printed so far and not taken, how many are of that kind
  // and satisfy accept.
  template <typename Accept>
  std::size_t Count(const std::string& event, Accept accept) const {
    std::size_t n = 0;
    for (const json& value : events_)
      if (!value.is_null() && value.value("event", "") == event && accept(value)) ++n;
    return n;
  }
  const json& serving() const { return serving_; }
  // Stops or continues the process: what it misses meanwhile it must find
  // out by looking, not by being scheduled at the right moment.
  void Signal(int signal) { child_->Signal(signal); }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::vector<json> events_;  // printed so far; those taken are null
  json serving_;
  int port_ = 0;
};

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override { livelink_test::Isolated(); }
};

TEST_F(ServeTest, AnswersOnlyItsOwnFilesToItsOwnHostAndLivesOnAfterEveryBadRequest) {
  Velmar velmar({});
  ASSERT_NE(velmar.port(), 0);
  const std::uint16_t port = velmar.port();
  const std::string self = velmar.self();
  const std::string page = FileText(VELMAR_WEB_SOURCE_DIR "/index.html");
  ASSERT_FALSE(page.empty());

  // Each of its files, byte for byte, under both names of this server.
  struct Served {
    const char* path;
    std::string file;
  };
  for (const Served& served :
       {Served{"/", VELMAR_WEB_SOURCE_DIR "/index.html"}, Served{"/live.js", VELMAR_WEB_SOURCE_DIR "/live.js"},
        Served{"/three.js", "/usr/share/javascript/three/three.min.js"},
        Served{"/OrbitControls.js", "/usr/share/javascript/three/examples/js/controls/OrbitControls.js"}}) {
    for (const std::string& host : {self, "localhost:" + std::to_string(port), "LocalHost:" + std::to_string(port)}) {
      const Response r = Get(port, served.path, host);
      EXPECT_EQ(r.status, 200) << served.path << " for " << host;
      EXPECT_TRUE(r.body == FileText(served.file)) << served.path;
    }
  }

  const std::string p = std::to_string(port);
  struct Case {
    std::string what;
    std::string request;
    int status;
  };
  const std::string get = "GET / HTTP/1.1\r\n";
  const std::string host = "Host: " + self + "\r\n";
  const std::vector<Case> cases = {
      {"a foreign name (DNS rebinding)", get + "Host: attacker.example:" + p + "\r\n\r\n", 403},
      {"this address, another port", get + "Host: 127.0.0.1:" + std::to_string(port + 1) + "\r\n\r\n", 403},
      {"the IPv6 loopback literal", get + "Host: [::1]:" + p + "\r\n\r\n", 403},
      {"another loopback address", get + "Host: 127.0.0.2:" + p + "\r\n\r\n", 403},
      {"the name without the port", get + "Host: localhost\r\n\r\n", 403},
      {"a name ending in ours", get + "Host: 127.0.0.1.attacker.example:" + p + "\r\n\r\n", 403},
      {"no Host at all", get + "\r\n", 400},
      {"two Host headers", get + host + "Host: attacker.example\r\n\r\n", 400},
      {"an empty Host", get + "Host: \r\n\r\n", 400},
      {"a port that is no number", get + "Host: 127.0.0.1:8o\r\n\r\n", 400},
      {"a port past 65535", get + "Host: 127.0.0.1:99999\r\n\r\n", 400},
      {"an unclosed IPv6 literal", get + "Host: [::1:" + p + "\r\n\r\n", 400},
      {"a Host with a path in it", get + "Host: 127.0.0.1:" + p + "/x\r\n\r\n", 400},
      {"a request line of garbage", "GARBAGE\r\n\r\n", 400},
      {"a header line without a colon", get + host + "Not a header\r\n\r\n", 400},
      {"a header too large", get + host + "X-Big: " + std::string(9000, 'a') + "\r\n\r\n", 431},
      {"a body on a GET", get + host + "Content-Length: 5\r\n\r\nhello", 400},
      {"a length that is no number", get + host + "Content-Length: x\r\n\r\n", 400},
      {"a method other than GET", "POST / HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", 405},
      {"a climb out of the folder", "GET /../../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
      {"an encoded climb", "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
      {"a path through a served file", "GET /live.js/../index.html HTTP/1.1\r\n" + host + "\r\n", 404},
      {"the page's folder by name", "GET /web/live.js HTTP/1.1\r\n" + host + "\r\n", 404},
      {"another file of three.js's folder", "GET /three.module.js HTTP/1.1\r\n" + host + "\r\n", 404},
      {"the WebSocket path without an upgrade", "GET /live HTTP/1.1\r\n" + host + "\r\n", 426},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Response refused = Exchange(port, c.request);
    EXPECT_EQ(refused.status, c.status) << refused.head;
    EXPECT_EQ(refused.body.find("<script"), std::string::npos) << "a refusal must not carry the page";
    // The server lives on and answers the next good request.
    const Response good = Get(port, "/", self);
    EXPECT_EQ(good.status, 200);
    EXPECT_TRUE(good.body == page);
  }
  // A client that opens a connection and sends half a request, then one
  // that goes away mid-request, leave the server answering others.
  Socket half("127.0.0.1", port);
  ASSERT_TRUE(half.ok());
  half.Send("GET / HTTP/1.1\r\nHo");
  {
    Socket gone("127.0.0.1", port);
    gone.Send("GET / HTTP/1.1\r\nHost: " + self);
  }
  EXPECT_EQ(Get(port, "/", self).status, 200);
  // Every refusal was told, with its status.
  EXPECT_TRUE(velmar.Next("refused", [](const json& e) { return e["status"] == 431; }).is_object());
}

TEST_F(ServeTest, UpgradesOnlyItsOwnPagesWebSocket) {
  Velmar velmar({});
  ASSERT_NE(velmar.port(), 0);
  const std::uint16_t port = velmar.port();
  const std::string p = std::to_string(port);
  struct Case {
    std::string origin, host, what;
    int status;
  };
  for (const Case& c : std::vector<Case>{
           {"http://127.0.0.1:" + p, "", "its own page", 101},
           {"http://localhost:" + p, "", "its own page by name", 101},
           {"http://attacker.example", "", "a foreign page", 403},
           {"http://attacker.example:" + p, "", "a foreign page on the same port", 403},
           {"https://127.0.0.1:" + p, "", "another scheme", 403},
           {"http://127.0.0.1:" + std::to_string(port + 1), "", "another port", 403},
           {"http://[::1]:" + p, "", "the IPv6 loopback", 403},
           {"null", "", "a sandboxed or file page", 403},
           {"", "", "no Origin", 403},
           {"http//127.0.0.1:" + p, "", "a malformed Origin", 400},
           {"http://127.0.0.1:" + p + "/page", "", "an Origin with a path", 400},
           {"http://127.0.0.1:" + p, "attacker.example:" + p, "its Origin, a foreign Host", 403},
       }) {
    SCOPED_TRACE(c.what);
    WebSocket socket(port, c.origin, c.host);
    EXPECT_EQ(socket.status(), c.status);
    if (c.status == 101) {
      // No link yet: the page is told nothing, and nothing is refused.
      std::vector<std::uint8_t> message;
      bool text = false;
      EXPECT_FALSE(socket.Next(&message, &text, 300));
    }
  }
  EXPECT_EQ(Get(port, "/", velmar.self()).status, 200);
}

TEST_F(ServeTest, ListensOnTheLoopbackAddressAlone) {
  Velmar velmar({});
  ASSERT_NE(velmar.port(), 0);
  // Bound to 127.0.0.1 itself, not to every address: the rest of the
  // loopback range and IPv6 find nothing there.
  for (const char* address : {"127.0.0.2", "::1"}) {
    Socket other(address, velmar.port());
    EXPECT_FALSE(other.ok()) << address;
    EXPECT_EQ(other.errorCode(), ECONNREFUSED) << address << ": " << std::strerror(other.errorCode());
  }
  Socket own("127.0.0.1", velmar.port());
  EXPECT_TRUE(own.ok());
  // The kernel's table of listening sockets agrees: 0100007F is 127.0.0.1.
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", velmar.port());
  const std::string table = FileText("/proc/net/tcp");
  EXPECT_NE(table.find(wanted), std::string::npos) << wanted;
  EXPECT_EQ(FileText("/proc/net/tcp6").find(std::string(wanted + 8) + " "), std::string::npos);
}

// The hand-made scene publisher in a process of its own.
class Publisher {
 public:
  explicit Publisher(const std::u16string& name) : child_(ChildProcess::Start(VELMAR_PUBLISHER, {Narrow(name)})) {}
  bool Started() { return child_ != nullptr && child_->WaitFor("created", kWaitMs) == "created 0"; }
  std::string Ask(const std::string& command) {
    std::string line;
    EXPECT_TRUE(child_->Send(command) && child_->ReadLine(&line, kWaitMs)) << command;
    return line;
  }

 private:
  std::unique_ptr<ChildProcess> child_;
};

// The update frame's number and JSON from a message, when it is one.
bool UpdateOf(const std::vector<std::uint8_t>& message, std::uint32_t* update) {
  velmar::FrameHeader header;
  if (message.size() < sizeof header) return false;
  std::memcpy(&header, message.data(), sizeof header);
  if (header.kind != static_cast<std::uint16_t>(velmar::FrameKind::kUpdate)) return false;
  *update = header.update;
  return true;
}

TEST_F(ServeTest, APageThatStopsReadingIsDroppedWithoutHoldingTheLinkBack) {
  const std::u16string name = livelink_test::UniqueName("serve");
  Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  // A 2048 x 2048 texture: 16 MiB in one frame, far more than the socket
  // buffers take from a page that does not read.
  publisher.Ask("surface wall 0 C0A080 1 Wall");
  publisher.Ask("box wall 0 0 0 4 3 0.2");
  publisher.Ask("geometry wall");
  publisher.Ask("texture wall 2048 2048 7");
  Velmar velmar({"--link", Narrow(name), "--client-stall-ms", "1500"});
  ASSERT_NE(velmar.port(), 0);
  const std::string origin = "http://127.0.0.1:" + std::to_string(velmar.port());
  ASSERT_EQ(publisher.Ask("publish").rfind("published", 0), 0u);
  ASSERT_TRUE(velmar.Next("update").is_object());

  WebSocket stalled(velmar.port(), origin);  // never reads
  ASSERT_EQ(stalled.status(), 101);
  WebSocket reader(velmar.port(), origin);
  ASSERT_EQ(reader.status(), 101);
  {
    // A page closed mid-transfer: part of the first frame, then gone.
    WebSocket closing(velmar.port(), origin);
    ASSERT_EQ(closing.status(), 101);
    std::string some;
    ASSERT_TRUE(closing.socket().ReceiveExactly(100000, &some, kWaitMs));
  }
  // The reading page gets the whole scene, whose last frame is the update.
  std::vector<std::uint8_t> message;
  bool text = false;
  std::uint32_t update = 0, whole = 0;
  while (reader.Next(&message, &text, kWaitMs))
    if (UpdateOf(message, &whole)) break;
  ASSERT_NE(whole, 0u);

  // Edits go on: each one read by velmar and sent to the reading page while
  // the stalled one holds 16 MiB unread, until velmar drops it.
  for (const char* colour : {"102030", "405060", "708090"}) {
    SCOPED_TRACE(colour);
    publisher.Ask(std::string("material wall ") + colour);
    ASSERT_EQ(publisher.Ask("publish").rfind("published", 0), 0u);
    ASSERT_TRUE(velmar.Next("update", [](const json& e) { return e["read"]["parameters"] == 1; }).is_object());
    while (reader.Next(&message, &text, kWaitMs))
      if (UpdateOf(message, &update)) break;
    EXPECT_GT(update, whole);
    whole = update;
  }
  const json dropped = velmar.Next("client", [](const json& e) { return e["state"] == "dropped"; });
  ASSERT_TRUE(dropped.is_object());
  EXPECT_NE(dropped.value("reason", "").find("took no bytes"), std::string::npos) << dropped;
  // The page that went away mid-transfer was let go as closed, not dropped;
  // and the server still serves.
  EXPECT_TRUE(velmar.Next("client", [](const json& e) { return e["state"] == "closed"; }).is_object());
  EXPECT_EQ(Get(velmar.port(), "/", velmar.self()).status, 200);
}

// A page that stops reading in the middle of a large surface, which the
// publisher then edits: velmar drops the page before it reads the edit,
// instead of writing the edit into a second copy of the surface because
// the page's frames still borrow the first; a page that reads follows
// every edit. The stall limit is set far out of reach: the edit is what
// drops the page. (Which pages that read are kept: page_verdict_test.)
TEST_F(ServeTest, APageStuckInALargeSurfaceIsDroppedBeforeAnEditWouldCopyIt) {
  const std::u16string name = livelink_test::UniqueName("stuck");
  Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  // 60,000 boxes: 55 MB of geometry, many times what the socket buffers
  // take from a page that does not read.
  publisher.Ask("surface big 0 C0A080 1 Big");
  publisher.Ask("boxes big 60000");
  publisher.Ask("geometry big");
  Velmar velmar({"--link", Narrow(name), "--client-stall-ms", "600000"});
  ASSERT_NE(velmar.port(), 0);
  const std::string origin = "http://127.0.0.1:" + std::to_string(velmar.port());
  ASSERT_EQ(publisher.Ask("publish").rfind("published", 0), 0u);
  const json first = velmar.Next("update");
  ASSERT_TRUE(first.is_object());
  ASSERT_EQ(first["scene"]["triangles"], 60000 * 12);

  WebSocket stuck(velmar.port(), origin);  // never reads
  ASSERT_EQ(stuck.status(), 101);
  WebSocket reader(velmar.port(), origin);
  ASSERT_EQ(reader.status(), 101);
  std::vector<std::uint8_t> message;
  bool text = false;
  std::uint32_t update = 0;
  while (reader.Next(&message, &text, kWaitMs))
    if (UpdateOf(message, &update)) break;
  ASSERT_NE(update, 0u);

  for (const char* step : {"0 0.5 0", "0.25 0 0"}) {
    SCOPED_TRACE(step);
    publisher.Ask(std::string("move big ") + step);
    publisher.Ask("geometry big");
    ASSERT_EQ(publisher.Ask("publish").rfind("published", 0), 0u);
    const json edit = velmar.Next("update", [](const json& e) { return e["read"]["geometries"] == 1; });
    ASSERT_TRUE(edit.is_object());
    EXPECT_EQ(edit["read"]["geometriesCopied"], 0) << "the edit went into a second copy of the surface";
    // The reading page gets the moved box as ranges, then the update.
    bool ranges = false;
    std::uint32_t next = 0;
    while (reader.Next(&message, &text, kWaitMs)) {
      velmar::FrameHeader header;
      std::memcpy(&header, message.data(), std::min(message.size(), sizeof header));
      ranges = ranges || header.kind == static_cast<std::uint16_t>(velmar::FrameKind::kRange);
      if (UpdateOf(message, &next)) break;
    }
    EXPECT_GT(next, update);
    EXPECT_TRUE(ranges);
    update = next;
  }
  const json dropped = velmar.Next("client", [](const json& e) { return e["state"] == "dropped"; });
  ASSERT_TRUE(dropped.is_object());
  EXPECT_NE(dropped.value("reason", "").find("while velmar waited to change a surface"), std::string::npos) << dropped;
  EXPECT_EQ(velmar.Count("client", [](const json& e) { return e["state"] == "dropped"; }), 0u)
      << "the reading page was dropped too";
}

}  // namespace

namespace {

// This process's soft limit of open files lowered while it lives, so that a
// child started meanwhile inherits it (as from "prlimit --nofile").
class LoweredFileLimit {
 public:
  explicit LoweredFileLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~LoweredFileLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

int StatusOf(const std::string& head) {
  return head.rfind("HTTP/1.1 ", 0) == 0 && head.size() >= 12 ? std::atoi(head.c_str() + 9) : 0;
}

}  // namespace

// A local process floods the server under a common low limit of open files
// (256 here): more WebSocket upgrades than velmar has descriptors, and a
// page that sends its "shown" message without end. velmar takes pages and
// connections up to its caps, well below the limit, and answers the rest
// 503 at once; it follows the link's edits all along and opens the link
// its publisher starts anew, read whole; and it tells the refusals and the
// page's messages at a bounded rate, with a count of those not told.
TEST_F(ServeTest, AFloodUnderALowLimitOfOpenFilesIsRefusedAndTheLinkFollowed) {
  const std::u16string name = livelink_test::UniqueName("flood");
  Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  for (int i = 0; i < 4; ++i) {
    const std::string key = "s" + std::to_string(i);
    publisher.Ask("surface " + key + " 0 C0A080 1 Part" + std::to_string(i));
    publisher.Ask("box " + key + " " + std::to_string(i) + " 0 0 " + std::to_string(i + 1) + " 1 1");
    publisher.Ask("geometry " + key);
  }
  publisher.Ask("texture s1 64 64 3");
  std::unique_ptr<Velmar> started;
  {
    LoweredFileLimit limit(256);
    started = std::make_unique<Velmar>(std::vector<std::string>{"--link", Narrow(name)});
  }
  Velmar& velmar = *started;
  ASSERT_NE(velmar.port(), 0);
  const std::string origin = "http://127.0.0.1:" + std::to_string(velmar.port());
  ASSERT_EQ(publisher.Ask("publish").rfind("published", 0), 0u);
  const json first = velmar.Next("update");
  ASSERT_TRUE(first.is_object());
  EXPECT_EQ(first["scene"]["triangles"], 48);
  EXPECT_EQ(first["scene"]["textures"], 1);

  WebSocket page(velmar.port(), origin);
  ASSERT_EQ(page.status(), 101);
  constexpr int kFlood = 300;
  std::vector<std::unique_ptr<Socket>> flood;
  const std::string upgrade = "GET /live HTTP/1.1\r\nHost: " + velmar.self() +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                              "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: " +
                              origin + "\r\n\r\n";
  for (int i = 0; i < kFlood; ++i) {
    flood.push_back(std::make_unique<Socket>("127.0.0.1", velmar.port()));
    ASSERT_TRUE(flood.back()->ok() && flood.back()->Send(upgrade)) << i;
  }
  // Every one is answered at once: a page while there is room, else 503.
  int pages = 0, refused = 0;
  for (auto& socket : flood) {
    const int status = StatusOf(socket->ReceiveHead(5000));
    ASSERT_TRUE(status == 101 || status == 503) << "connection " << pages + refused << " answered " << status;
    ++(status == 101 ? pages : refused);
  }
  const std::size_t maxPages = velmar.serving().value("maxPages", 0u);
  EXPECT_EQ(pages + 1, static_cast<int>(maxPages));
  EXPECT_LT(velmar.serving().value("maxConnections", 0u), 256u / 2);

  // The page's messages without end, while the flood's pages are held.
  const std::string shown = R"({"kind":"shown","update":1,"shownAt":1,"wakeAt":1})";
  constexpr int kShown = 500;
  for (int i = 0; i < kShown; ++i) ASSERT_TRUE(page.SendText(shown));

  // The link is followed all along: an edit, then a new start of the link.
  publisher.Ask("material s2 102030");
  ASSERT_EQ(publisher.Ask("publish").rfind("published", 0), 0u);
  EXPECT_TRUE(velmar.Next("update", [](const json& e) { return e["read"]["parameters"] == 1; }).is_object());
  // Between the restart and the new link's first publication the name is
  // out of the registry: a velmar that looked then would rightly call the
  // link removed. Stopped meanwhile, it meets the name listed again from a
  // new area, which it must tell from the one it holds.
  velmar.Signal(SIGSTOP);
  EXPECT_EQ(publisher.Ask("restart"), "restarted 0");
  for (int i = 0; i < 4; ++i) {
    const std::string key = "s" + std::to_string(i);
    publisher.Ask("surface " + key + " 0 C0A080 1 Part" + std::to_string(i));
    publisher.Ask("box " + key + " " + std::to_string(i) + " 0 0 " + std::to_string(i + 1) + " 1 1");
    publisher.Ask("geometry " + key);
  }
  publisher.Ask("texture s1 64 64 3");
  const std::string republished = publisher.Ask("publish");
  velmar.Signal(SIGCONT);
  ASSERT_EQ(republished.rfind("published", 0), 0u);
  const json ended = velmar.Next("link-ended");
  ASSERT_TRUE(ended.is_object());
  EXPECT_EQ(ended["reason"], "the publisher started it anew");
  const json reopened = velmar.Next("update", [](const json& e) { return e["scene"]["triangles"] == 48; });
  ASSERT_TRUE(reopened.is_object());
  EXPECT_EQ(reopened["scene"], first["scene"]);
  EXPECT_EQ(velmar.Count("problem", [](const json&) { return true; }), 0u);

  // Told at a bounded rate, the rest counted: every refusal and every
  // message of the page is told or counted, and most are counted.
  std::uint64_t toldRefused = 0, toldPage = 0, countedRefused = 0, countedPage = 0;
  while (toldRefused + countedRefused < static_cast<std::uint64_t>(refused) ||
         toldPage + countedPage < static_cast<std::uint64_t>(kShown)) {
    const json suppressed = velmar.Next("suppressed");
    ASSERT_TRUE(suppressed.is_object()) << toldRefused << "+" << countedRefused << " refusals, " << toldPage << "+"
                                        << countedPage << " page messages";
    countedRefused += suppressed["counts"].value("refused", std::uint64_t{0});
    countedPage += suppressed["counts"].value("page", std::uint64_t{0});
    toldRefused = velmar.Count("refused", [](const json& e) { return e["status"] == 503; });
    toldPage = velmar.Count("page", [](const json&) { return true; });
  }
  EXPECT_EQ(toldRefused + countedRefused, static_cast<std::uint64_t>(refused));
  EXPECT_EQ(toldPage + countedPage, static_cast<std::uint64_t>(kShown));
  EXPECT_LT(toldRefused, countedRefused);
  EXPECT_LT(toldPage, countedPage);
}
