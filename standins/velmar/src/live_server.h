// The live view's server: HTTP for the page and its scripts, a WebSocket
// at /live that carries the scene as binary frames (live_frames.h), on
// 127.0.0.1 only, with its own thread. The link's thread hands it snapshots
// and returns at once: no client, however slow, holds velmar's link reading
// back. Each client has a bounded queue of shared frames; a client whose
// queue grows past its bound, or that takes no bytes for a while, is
// dropped. Requests are checked as live_guard.h says; a malformed request
// gets its error answer and the server goes on.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "live_scene.h"

namespace velmar {

// The port "velmar serve" uses unless told otherwise.
inline constexpr std::uint16_t kDefaultLivePort = 8737;

struct LiveServerOptions {
  std::uint16_t port = kDefaultLivePort;  // 0: one the system picks
  std::string webDir;                     // empty: DefaultWebDir()
  std::string threeDir;                   // empty: DefaultThreeDir()
  // A client is dropped when more than this many bytes wait for it (frames
  // are shared between clients, so this bounds what one client pins, not a
  // copy) ...
  std::size_t maxQueuedBytes = std::size_t{2} << 30;
  // ... or when it takes no bytes for this long while some wait.
  std::chrono::milliseconds stallLimit{5000};
  std::size_t maxFrameBytes = kMaxFrameBytes;
  // Connections open at once (pages included), beyond which a new one is
  // answered 503 and closed at once; 0: a quarter of the process's soft
  // limit of open files, at most 1024. Pages (WebSockets) may take half
  // of them.
  std::size_t maxConnections = 0;
};

// Empty where this build serves the live view; else why it does not, as
// "velmar --help" and a refused "velmar serve" tell it.
std::string LiveViewMissing();

class LiveServer {
 public:
  // Reads the served files, binds 127.0.0.1:port and starts the server's
  // thread. Null with *error when a file is missing or the port cannot be
  // had.
  static std::unique_ptr<LiveServer> Start(const LiveServerOptions& options, std::string* error);
  ~LiveServer();  // Stop()
  // Closes every connection and joins the thread; reports made on the way
  // (the last count of suppressed ones among them) can still be taken.
  void Stop();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  std::uint16_t port() const;
  std::string url() const;
  std::size_t maxConnections() const;
  std::size_t maxPages() const;

  // Never waits for a client: the snapshot goes to the server's thread,
  // which sends what changed to every page. The update's number, as the
  // page reports it back.
  std::uint32_t Publish(std::shared_ptr<const LiveSnapshot> snapshot);
  void LinkEnded(const std::string& link, const std::string& reason);
  // A page opened while a link is held waits for its whole scene, which the
  // link's thread makes: WholeWanted tells it (once per asking; reportFd
  // becomes readable), and PublishWhole hands over a snapshot of the scene
  // as last published, which every waiting page is sent.
  bool WholeWanted();
  void PublishWhole(std::shared_ptr<const LiveSnapshot> snapshot);
  // The link's thread is about to change these geometries (before it takes
  // the link's lock). Frames still waiting to be sent borrow a geometry, and
  // while they do velmar writes its change into a second copy; so a page
  // whose frames borrow one of these is watched for a moment (at most
  // 100 ms, less once no page holds them) and judged (page_verdict.h): a
  // page that has stopped reading, or reads too slowly to be done soon, is
  // dropped; one that reads is kept, at the cost of that copy, and dropped
  // at a later change if it still holds the geometry it was let keep.
  // Returns when that is decided (never later than one second, whatever
  // the server's thread does).
  void LetGo(const std::vector<const Geometry*>& geometries);

  // Readable (a pipe) while reports wait; TakeReports empties it. Reports
  // are velmar events as JSON objects with an "event" field: "page" (a
  // page's own timings), "client" (connected, closed, dropped with a
  // reason), "refused" (a request answered with an error, 503 past the
  // caps), "suppressed" (how many of those three kinds were not told, past
  // their rate: "counts" by event, and "refusedAtCap" in all).
  int reportFd() const;
  std::vector<nlohmann::json> TakeReports();

  struct Impl;

 private:
  explicit LiveServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmar
