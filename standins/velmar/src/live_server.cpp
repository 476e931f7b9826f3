// The live view's server on Boost.Beast (Boost 1.74, header-only; this is
// the one translation unit that includes it, as it is heavy to compile).
// Chosen over libwebsockets because Beast hands us each request as a parsed
// message before anything is answered, so the Host and Origin checks and
// their 400/403 answers are ours, written once for HTTP and the WebSocket
// upgrade alike; its parser reports every malformed request as an error
// value (answered 400, never a crash or an exception); it writes one
// WebSocket message in pieces we choose, which gives each client a
// progress clock; and its io_context is one thread of our own that the
// link's thread only posts to. libwebsockets runs its own service loop and
// answers upgrades itself, and its writes from another thread go through
// its callback protocol.
#include "live_server.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <cstdio>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "live_files.h"
#include "live_guard.h"
#include "page_verdict.h"
#include "report_budget.h"

namespace velmar {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kHeaderLimit = 8192;
constexpr auto kRequestTimeout = std::chrono::seconds(15);
constexpr auto kHandshakeTimeout = std::chrono::seconds(15);
constexpr std::size_t kMaxPageMessage = 64 * 1024;
// Pieces of one message written at a time: each one written is progress.
constexpr std::size_t kWritePiece = 1 << 20;
constexpr auto kWatchPeriod = std::chrono::milliseconds(250);
// Reports a peer can provoke at will are told at most this often (per
// second, after a burst); the rest are counted and told as one
// "suppressed" event at most once a period.
constexpr double kRefusedPerSecond = 10, kRefusedBurst = 20;
constexpr double kClientPerSecond = 20, kClientBurst = 50;
constexpr double kPagePerSecond = 20, kPageBurst = 40;  // each page's own
constexpr auto kSuppressedPeriod = std::chrono::seconds(1);
// While the link's thread waits to change a geometry that frames for a page
// borrow: how long the page is watched (and how often looked at) before
// page_verdict.h judges it. The link's thread waits for the verdict no
// longer than kLetGoWaitLimit.
constexpr auto kLetGoProbe = std::chrono::milliseconds(100);
constexpr auto kLetGoTick = std::chrono::milliseconds(5);
constexpr auto kLetGoWaitLimit = std::chrono::seconds(1);

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

std::string Clip(std::string_view text) { return std::string(text.substr(0, 200)); }

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

class Client;

// Pages watched while the link's thread waits to change geometries their
// frames borrow (LiveServer::LetGo).
struct LetGoProbe {
  std::set<const void*> geometries;
  std::vector<std::pair<std::shared_ptr<Client>, std::uint64_t>> pages;  // with the bytes taken when watched
  Clock::time_point started;
  std::promise<void> done;
};

// A connection counted against one of the server's caps for as long as it
// lives; handed on when an HTTP connection becomes a page's WebSocket.
class Seat {
 public:
  explicit Seat(std::size_t& count) : count_(&count) { ++*count_; }
  Seat(Seat&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
  Seat(const Seat&) = delete;
  Seat& operator=(const Seat&) = delete;
  Seat& operator=(Seat&&) = delete;
  ~Seat() {
    if (count_ != nullptr) --*count_;
  }

 private:
  std::size_t* count_;
};

}  // namespace

struct LiveServer::Impl {
  LiveServerOptions options;
  std::map<std::string, WebFile> files;
  // Open connections (pages included) and pages, and their caps. Before
  // the io_context: connections still held by its handlers leave their
  // seats when it goes.
  std::size_t connections = 0, pages = 0;
  std::size_t maxConnections = 0, maxPages = 0;
  std::uint64_t refusedAtCap = 0;
  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer acceptRetry{io};
  std::uint16_t port = 0;
  LiveScene scene;
  std::set<std::shared_ptr<Client>> clients;
  int nextClient = 0;
  std::atomic<std::uint32_t> updates{0};  // numbered on the caller's thread
  std::thread thread;
  std::mutex reportsMutex;
  std::vector<json> reports;
  int pipe[2] = {-1, -1};
  ReportBudget refusedBudget{kRefusedPerSecond, kRefusedBurst};
  ReportBudget clientBudget{kClientPerSecond, kClientBurst};
  std::map<std::string, std::uint64_t> suppressed;  // by event, since last told
  net::steady_timer suppressedTimer{io};
  bool suppressedPending = false;

  explicit Impl(const LiveServerOptions& o) : options(o), scene(o.maxFrameBytes) {}
  ~Impl() {
    for (int fd : pipe)
      if (fd >= 0) ::close(fd);
  }
  // A report a peer can provoke goes through its budget (a page's own,
  // or the server's for refusals and clients); past it, it is counted.
  void Report(json event, ReportBudget* budget = nullptr) {
    const std::string kind = event.value("event", "");
    if (budget == nullptr) budget = kind == "refused" ? &refusedBudget : kind == "client" ? &clientBudget : nullptr;
    if (budget != nullptr && !budget->Take(Clock::now())) {
      ++suppressed[kind];
      if (!suppressedPending) {
        suppressedPending = true;
        suppressedTimer.expires_after(kSuppressedPeriod);
        suppressedTimer.async_wait([this](beast::error_code ec) {
          if (!ec) TellSuppressed();
        });
      }
      return;
    }
    Push(std::move(event));
  }
  // The count of reports dropped since the last time, as one event.
  void TellSuppressed() {
    suppressedPending = false;
    if (suppressed.empty()) return;
    json counts = json::object();
    for (const auto& [kind, count] : suppressed) counts[kind] = count;
    suppressed.clear();
    Push({{"event", "suppressed"}, {"counts", std::move(counts)}, {"refusedAtCap", refusedAtCap}});
  }
  void Push(json event) {
    {
      std::lock_guard<std::mutex> lock(reportsMutex);
      reports.push_back(std::move(event));
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(pipe[1], &byte, 1);  // full pipe: already readable
  }
  void Accept();
  void RefuseAtCap(tcp::socket socket);
  // To every page that holds the scene; a page still waiting for its
  // whole scene gets that later, with these changes in it.
  void Broadcast(const std::vector<FramePtr>& frames);
  // A new page: the whole scene at once when no link is held, else asked
  // of the link's thread (WholeWanted, PublishWhole).
  void Welcome(const std::shared_ptr<Client>& client);
  std::atomic<bool> wholeWanted{false};
  // LetGo's watch: one at a time (the link's thread waits for each).
  void StartLetGo(std::shared_ptr<LetGoProbe> probe);
  void WatchLetGo();
  void FinishLetGo();
  std::shared_ptr<LetGoProbe> letGo;
  net::steady_timer letGoTimer{io};
};

namespace {

// One WebSocket client: a queue of shared frames, written in pieces.
class Client : public std::enable_shared_from_this<Client> {
 public:
  Client(tcp::socket socket, LiveServer::Impl& server, int id, Seat connection)
      : ws_(std::move(socket)),
        server_(server),
        id_(id),
        connection_(std::move(connection)),
        page_(server.pages),
        watch_(server.io) {}

  void Start(http::request<http::empty_body> request) {
    request_ = std::move(request);
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.read_message_max(kMaxPageMessage);
    ws_.binary(true);
    ws_.async_accept(request_, beast::bind_front_handler(&Client::OnAccept, shared_from_this()));
  }

  void Enqueue(const std::vector<FramePtr>& frames) {
    if (ended_ || !open_) return;
    if (!current_ && queue_.empty()) lastProgress_ = Clock::now();
    for (const FramePtr& frame : frames) {
      queue_.push_back(frame);
      queued_ += frame->size();
    }
    if (queued_ > server_.options.maxQueuedBytes) {
      End("dropped", std::to_string(queued_) + " bytes waited for it, more than " +
                         std::to_string(server_.options.maxQueuedBytes));
      return;
    }
    WriteNext();
  }

  // Whether a frame still to be written, the one being written included,
  // borrows one of these objects.
  bool Pins(const std::set<const void*>& objects) const {
    auto borrows = [&](const FramePtr& frame) {
      for (const void* object : objects)
        if (frame->Borrows(object)) return true;
      return false;
    };
    if (current_ && borrows(current_)) return true;
    return std::any_of(queue_.begin(), queue_.end(), borrows);
  }
  // The bytes to write until the last frame borrowing one of these objects
  // is written, and that frame's number (frames are numbered from 1 in the
  // order they are written); {0, 0} when none does.
  std::pair<std::uint64_t, std::uint64_t> UntilFree(const std::set<const void*>& objects) const {
    std::uint64_t bytes = 0, until = 0, pending = 0, number = framesDone_;
    auto count = [&](const FramePtr& frame, std::size_t left) {
      ++number;
      pending += left;
      for (const void* object : objects)
        if (frame->Borrows(object)) {
          bytes = pending;
          until = number;
          return;
        }
    };
    if (current_) count(current_, current_->size() - offset_);
    for (const FramePtr& frame : queue_) count(frame, frame->size());
    return {bytes, until};
  }
  std::uint64_t taken() const { return taken_; }
  Clock::time_point lastProgress() const { return lastProgress_; }
  bool ended() const { return ended_; }
  // Let keep frames of a geometry velmar then changed (in a second copy)
  // until the frame numbered `until` is written.
  void KeepUntil(std::uint64_t until) { keptUntil_ = std::max(keptUntil_, until); }
  // Still to be sent such frames.
  bool Behind() const { return keptUntil_ > framesDone_; }

  // Ends the connection; nothing is sent any more and its frames are let go.
  void End(const std::string& how, const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
    watch_.cancel();
    queue_.clear();
    current_.reset();
    const bool wasOpen = open_;
    open_ = false;
    auto self = shared_from_this();
    server_.clients.erase(self);
    if (wasOpen) server_.Report({{"event", "client"}, {"client", id_}, {"state", how}, {"reason", reason}});
  }

 private:
  void OnAccept(beast::error_code ec) {
    if (ec) {
      ended_ = true;
      server_.Report({{"event", "refused"}, {"status", 400}, {"reason", "WebSocket handshake: " + ec.message()}});
      return;
    }
    open_ = true;
    server_.clients.insert(shared_from_this());
    server_.Report({{"event", "client"}, {"client", id_}, {"state", "connected"}});
    server_.Welcome(shared_from_this());
    Read();
    Watch();
  }

 public:
  // Waiting for the whole scene: updates are not sent to it meanwhile.
  bool awaitsWhole = false;

 private:
  void WriteNext() {
    if (writing_ || ended_) return;
    if (!current_) {
      if (queue_.empty()) return;
      current_ = std::move(queue_.front());
      queue_.pop_front();
      offset_ = 0;
    }
    // The next piece of the current frame, across its owned and borrowed parts.
    pieces_.clear();
    std::size_t skip = offset_, want = std::min(kWritePiece, current_->size() - offset_);
    auto take = [&](const std::uint8_t* data, std::size_t size) {
      if (want == 0) return;
      if (skip >= size) {
        skip -= size;
        return;
      }
      const std::size_t n = std::min(size - skip, want);
      pieces_.emplace_back(data + skip, n);
      skip = 0;
      want -= n;
    };
    take(current_->owned().data(), current_->owned().size());
    for (const auto& span : current_->borrowed()) take(span.data(), span.size());
    std::size_t pieceBytes = 0;
    for (const auto& piece : pieces_) pieceBytes += piece.size();
    const bool last = offset_ + pieceBytes == current_->size();
    writing_ = true;
    ws_.async_write_some(last, pieces_, beast::bind_front_handler(&Client::OnWrite, shared_from_this()));
  }

  void OnWrite(beast::error_code ec, std::size_t written) {
    writing_ = false;
    if (ended_) return;
    if (ec) return End("closed", "write failed: " + ec.message());
    offset_ += written;
    taken_ += written;
    queued_ -= std::min(queued_, written);
    lastProgress_ = Clock::now();
    if (current_ && offset_ >= current_->size()) {
      current_.reset();
      ++framesDone_;
    }
    WriteNext();
  }

  void Watch() {
    watch_.expires_after(kWatchPeriod);
    watch_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->ended_) return;
      const bool waiting = self->current_ || !self->queue_.empty();
      if (waiting && Clock::now() - self->lastProgress_ > self->server_.options.stallLimit)
        return self->End("dropped",
                         "took no bytes for " + std::to_string(self->server_.options.stallLimit.count()) + " ms");
      self->Watch();
    });
  }

  void Read() { ws_.async_read(incoming_, beast::bind_front_handler(&Client::OnRead, shared_from_this())); }

  void OnRead(beast::error_code ec, std::size_t) {
    if (ended_) return;
    if (ec) return End("closed", ec == websocket::error::closed ? "closed by the page" : ec.message());
    if (ws_.got_text()) PageReport();
    incoming_.consume(incoming_.size());
    Read();
  }

  // What a page tells of itself: only known fields, only numbers and
  // flags, go on into velmar's events.
  void PageReport() {
    const auto data = incoming_.cdata();
    const char* text = static_cast<const char*>(data.data());
    const json message = json::parse(text, text + data.size(), nullptr, false);
    if (!message.is_object() || message.value("kind", "") != "shown") return;
    json event = {{"event", "page"}, {"client", id_}};
    for (const char* field : {"update", "wakeAt", "readAt", "firstFrameAt", "appliedAt", "drawnAt", "shownAt",
                              "openedAt", "bytes", "triangles", "surfaces", "frames"})
      if (auto it = message.find(field); it != message.end() && it->is_number()) event[field] = *it;
    if (auto it = message.find("whole"); it != message.end() && it->is_boolean()) event["whole"] = *it;
    // The figures from velmar's wake-up mean something only for an update
    // that arrived while the page was open; the scene a page loads on
    // opening was read by velmar any time before. Applied: in the page's
    // buffers; drawn: the first frame after it finished; delay: shown.
    const double opened = event.value("openedAt", 0.0);
    if (event.contains("wakeAt") && event["wakeAt"].get<double>() >= opened) {
      const double wake = event["wakeAt"].get<double>();
      for (const auto& [at, figure] :
           {std::pair{"appliedAt", "appliedMs"}, std::pair{"drawnAt", "drawnMs"}, std::pair{"shownAt", "delayMs"}})
        if (event.contains(at)) event[figure] = event[at].get<double>() - wake;
    }
    server_.Report(std::move(event), &pageBudget_);
  }

  websocket::stream<beast::tcp_stream> ws_;
  LiveServer::Impl& server_;
  int id_;
  Seat connection_, page_;
  ReportBudget pageBudget_{kPagePerSecond, kPageBurst};
  http::request<http::empty_body> request_;
  net::steady_timer watch_;
  beast::flat_buffer incoming_;
  std::deque<FramePtr> queue_;
  std::size_t queued_ = 0;
  FramePtr current_;
  std::size_t offset_ = 0;
  std::uint64_t taken_ = 0, framesDone_ = 0, keptUntil_ = 0;
  std::vector<net::const_buffer> pieces_;
  bool writing_ = false, open_ = false, ended_ = false;
  Clock::time_point lastProgress_ = Clock::now();
};

// One HTTP connection: requests one after another, each answered from
// memory or refused; an upgrade to /live becomes a Client.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, LiveServer::Impl& server)
      : stream_(std::move(socket)), server_(server), seat_(server.connections) {}

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
  }

 private:
  void OnRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::operation_aborted ||
        ec == net::error::connection_reset || ec == net::error::eof)
      return Close();
    if (ec) {
      // Whatever the parser refused: a broken request line, a header
      // without a colon, a bad length, a body where none belongs.
      return Refuse(ec == http::error::header_limit ? 431 : 400, "malformed request: " + ec.message(), "");
    }
    Handle(parser_->release());
  }

  void Handle(http::request<http::empty_body> request) {
    const std::string target = Clip(View(request.target()));
    const std::size_t hosts = request.count(http::field::host);
    const Verdict host = hosts == 0  ? Verdict::kMissing
                         : hosts > 1 ? Verdict::kMalformed
                                     : CheckHost(View(request[http::field::host]), server_.port);
    if (host != Verdict::kOk) return Refuse(RefusalStatus(host, false), RefusalReason(host, false), target);
    std::string_view path = View(request.target());
    path = path.substr(0, path.find('?'));
    if (websocket::is_upgrade(request)) {
      if (path != "/live") return Refuse(404, "no WebSocket at " + target, target);
      const std::size_t origins = request.count(http::field::origin);
      const Verdict origin = origins == 0  ? Verdict::kMissing
                             : origins > 1 ? Verdict::kMalformed
                                           : CheckOrigin(View(request[http::field::origin]), server_.port);
      if (origin != Verdict::kOk) return Refuse(RefusalStatus(origin, true), RefusalReason(origin, true), target);
      // Idle pages cost nothing but a descriptor each: they have a cap of
      // their own, below the connections', so that they cannot fill it.
      if (server_.pages >= server_.maxPages)
        return Refuse(503, "too many pages open (" + std::to_string(server_.maxPages) + ", the most this server takes)",
                      target);
      stream_.expires_never();
      auto client = std::make_shared<Client>(stream_.release_socket(), server_, ++server_.nextClient, std::move(seat_));
      client->Start(std::move(request));
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head)
      return Refuse(405, "only GET and HEAD", target);
    if (path == "/live") return Refuse(426, "/live is the page's WebSocket", target);
    const auto file = server_.files.find(std::string(path));
    if (file == server_.files.end()) return Refuse(404, "not one of the live view's files", target);

    auto response = std::make_shared<http::response<http::span_body<const char>>>(http::status::ok, request.version());
    Secure(*response);
    response->set(http::field::content_type, file->second.contentType);
    response->body() = {file->second.body->data(), file->second.body->size()};
    response->keep_alive(request.keep_alive());
    response->prepare_payload();
    if (request.method() == http::verb::head) response->body() = {};
    Send(response, !request.keep_alive());
  }

  template <typename Response>
  static void Secure(Response& response) {
    response.set(http::field::server, "velmar");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Content-Security-Policy",
                 "default-src 'self'; style-src 'self' 'unsafe-inline'; connect-src 'self'; img-src 'self' data:");
  }

  // An error answer, then the connection is closed: after a malformed
  // request nothing more on it can be trusted to be framed right.
  void Refuse(int status, const std::string& reason, const std::string& target) {
    server_.Report({{"event", "refused"}, {"status", status}, {"reason", reason}, {"target", target}});
    auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
    Secure(*response);
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    if (status == 405) response->set(http::field::allow, "GET, HEAD");
    if (status == 426) response->set(http::field::upgrade, "websocket");
    response->body() = reason + "\n";
    response->keep_alive(false);
    response->prepare_payload();
    Send(response, true);
  }

  template <typename Response>
  void Send(std::shared_ptr<Response> response, bool close) {
    stream_.expires_after(kRequestTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, close](beast::error_code ec, std::size_t) {
                        if (ec || close) return self->Close();
                        self->ReadRequest();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  LiveServer::Impl& server_;
  Seat seat_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
};

}  // namespace

void LiveServer::Impl::Accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, say: try again shortly rather than spin.
      acceptRetry.expires_after(std::chrono::milliseconds(100));
      acceptRetry.async_wait([this](beast::error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    if (connections >= maxConnections) {
      RefuseAtCap(std::move(socket));
    } else {
      std::make_shared<HttpSession>(std::move(socket), *this)->ReadRequest();
    }
    Accept();
  });
}

// Beyond the cap a connection is answered at once and closed: the answer
// is written without waiting (a fresh socket's buffer takes it), so a flood
// holds no descriptor past its accept.
void LiveServer::Impl::RefuseAtCap(tcp::socket socket) {
  ++refusedAtCap;
  const std::string reason =
      "too many connections (" + std::to_string(maxConnections) + ", the most this server takes)";
  const std::string body = reason + "\n";
  const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nServer: velmar\r\nCache-Control: no-store\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  beast::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.send(net::buffer(answer), 0, ignored);
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
  Report({{"event", "refused"}, {"status", 503}, {"reason", reason}, {"target", ""}});
}

void LiveServer::Impl::Broadcast(const std::vector<FramePtr>& frames) {
  // Enqueue may drop a client, which leaves the set: walk a copy.
  const auto all = clients;
  for (const auto& client : all)
    if (!client->awaitsWhole) client->Enqueue(frames);
}

void LiveServer::Impl::Welcome(const std::shared_ptr<Client>& client) {
  if (!scene.linked()) {
    client->Enqueue(scene.WholeWithout());
    return;
  }
  client->awaitsWhole = true;
  if (!wholeWanted.exchange(true)) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(pipe[1], &byte, 1);  // wakes the link's thread
  }
}

void LiveServer::Impl::StartLetGo(std::shared_ptr<LetGoProbe> probe) {
  if (letGo) FinishLetGo();  // the link's thread gave up waiting for it
  const auto all = clients;
  for (const auto& client : all) {
    if (!client->Pins(probe->geometries)) continue;
    // Still to be sent a geometry it was let keep at an earlier change (in
    // velmar's second copy), it would now cost a third.
    if (client->Behind()) {
      client->End("dropped", "fell behind: still to be sent a surface velmar has changed since");
      continue;
    }
    probe->pages.emplace_back(client, client->taken());
  }
  probe->started = Clock::now();
  letGo = std::move(probe);
  WatchLetGo();
}

void LiveServer::Impl::WatchLetGo() {
  std::erase_if(letGo->pages,
                [&](const auto& page) { return page.first->ended() || !page.first->Pins(letGo->geometries); });
  if (!letGo->pages.empty() && Clock::now() - letGo->started < kLetGoProbe) {
    letGoTimer.expires_after(kLetGoTick);
    letGoTimer.async_wait([this](beast::error_code ec) {
      if (!ec && letGo) WatchLetGo();
    });
    return;
  }
  FinishLetGo();
}

// The verdict on the pages still watched (page_verdict.h): kept, velmar
// writes the change into a second copy; dropped, it changes its only one.
void LiveServer::Impl::FinishLetGo() {
  letGoTimer.cancel();
  const std::shared_ptr<LetGoProbe> probe = std::move(letGo);
  const auto now = Clock::now();
  const double seconds = std::max(1e-3, std::chrono::duration<double>(now - probe->started).count());
  for (const auto& [client, before] : probe->pages) {
    if (client->ended()) continue;
    const auto [left, until] = client->UntilFree(probe->geometries);
    if (until == 0) continue;
    PageProgress progress;
    progress.tookWhileWatched = client->taken() - before;
    progress.watchedSeconds = seconds;
    progress.left = left;
    progress.takenInAll = client->taken();
    progress.idleSeconds = std::chrono::duration<double>(now - client->lastProgress()).count();
    constexpr double kMiB = 1 << 20;
    switch (JudgePage(progress)) {
      case PageVerdict::kKeep: client->KeepUntil(until); break;
      case PageVerdict::kDropStalled:
        client->End("dropped", "took no bytes for " + Fixed(progress.idleSeconds * 1000, 0) +
                                   " ms while velmar waited to change a surface it was being sent");
        break;
      case PageVerdict::kDropBehind:
        client->End("dropped", "fell behind: " + Fixed(static_cast<double>(left) / kMiB, 1) +
                                   " MiB still to be sent of a surface velmar must change, at " +
                                   Fixed(static_cast<double>(progress.tookWhileWatched) / seconds / kMiB, 1) +
                                   " MiB/s");
        break;
    }
  }
  probe->done.set_value();
}

LiveServer::LiveServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::string LiveViewMissing() { return {}; }

std::unique_ptr<LiveServer> LiveServer::Start(const LiveServerOptions& options, std::string* error) {
  auto impl = std::make_unique<Impl>(options);
  if (!LoadWebFiles(options.webDir.empty() ? DefaultWebDir() : options.webDir,
                    options.threeDir.empty() ? DefaultThreeDir() : options.threeDir, &impl->files, error))
    return nullptr;
  if (::pipe2(impl->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot make the report pipe";
    return nullptr;
  }
  beast::error_code ec;
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), options.port);
  impl->acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl->acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) impl->acceptor.bind(endpoint, ec);
  if (!ec) impl->acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + ec.message();
    return nullptr;
  }
  impl->port = impl->acceptor.local_endpoint().port();
  // Each connection takes a descriptor, as do the link's control area, its
  // blocks and velmar's files: a flood of connections must leave the link
  // most of them. A quarter of the soft limit for connections, half of
  // those for pages.
  std::size_t soft = 4096;
  if (rlimit limit{}; ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    soft = static_cast<std::size_t>(limit.rlim_cur);
  impl->maxConnections =
      options.maxConnections != 0 ? options.maxConnections : std::clamp<std::size_t>(soft / 4, 4, 1024);
  impl->maxPages = std::max<std::size_t>(1, impl->maxConnections / 2);
  impl->Accept();
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->io.run(); });
  return std::unique_ptr<LiveServer>(new LiveServer(std::move(impl)));
}

LiveServer::~LiveServer() { Stop(); }

void LiveServer::Stop() {
  if (!impl_->thread.joinable()) return;
  net::post(impl_->io, [impl = impl_.get()] {
    beast::error_code ignored;
    impl->acceptor.close(ignored);
    impl->acceptRetry.cancel();
    if (impl->letGo) impl->FinishLetGo();
    const auto all = impl->clients;
    for (const auto& client : all) client->End("closed", "velmar stops");
    impl->suppressedTimer.cancel();
    impl->TellSuppressed();
    // Connections waiting for a request are not waited for: their handlers
    // go with the io_context.
    impl->io.stop();
  });
  impl_->thread.join();
}

std::size_t LiveServer::maxConnections() const { return impl_->maxConnections; }

std::size_t LiveServer::maxPages() const { return impl_->maxPages; }

std::uint16_t LiveServer::port() const { return impl_->port; }

std::string LiveServer::url() const { return "http://127.0.0.1:" + std::to_string(impl_->port) + "/"; }

std::uint32_t LiveServer::Publish(std::shared_ptr<const LiveSnapshot> snapshot) {
  const std::uint32_t update = ++impl_->updates;
  net::post(impl_->io, [impl = impl_.get(), snapshot = std::move(snapshot), update] {
    impl->Broadcast(impl->scene.Apply(*snapshot, update));
  });
  return update;
}

void LiveServer::PublishWhole(std::shared_ptr<const LiveSnapshot> snapshot) {
  net::post(impl_->io, [impl = impl_.get(), snapshot = std::move(snapshot)] {
    const std::vector<FramePtr> frames = impl->scene.Whole(*snapshot);
    const auto all = impl->clients;
    for (const auto& client : all) {
      if (!client->awaitsWhole) continue;
      client->awaitsWhole = false;
      client->Enqueue(frames);
    }
  });
}

bool LiveServer::WholeWanted() { return impl_->wholeWanted.exchange(false); }

void LiveServer::LetGo(const std::vector<const Geometry*>& geometries) {
  if (geometries.empty() || !impl_->thread.joinable()) return;
  auto probe = std::make_shared<LetGoProbe>();
  probe->geometries.insert(geometries.begin(), geometries.end());
  std::future<void> decided = probe->done.get_future();
  net::post(impl_->io,
            [impl = impl_.get(), probe = std::move(probe)]() mutable { impl->StartLetGo(std::move(probe)); });
  // A server that stopped meanwhile drops the probe unanswered: its
  // promise, broken, makes the future ready.
  decided.wait_for(kLetGoWaitLimit);
}

void LiveServer::LinkEnded(const std::string& link, const std::string& reason) {
  const std::uint32_t update = ++impl_->updates;
  net::post(impl_->io, [impl = impl_.get(), link, reason, update] {
    // Pages still waiting for a scene get the end instead.
    for (const auto& client : impl->clients) client->awaitsWhole = false;
    impl->Broadcast(impl->scene.Ended(link, reason, update));
  });
}

int LiveServer::reportFd() const { return impl_->pipe[0]; }

std::vector<json> LiveServer::TakeReports() {
  char drain[256];
  while (::read(impl_->pipe[0], drain, sizeof drain) > 0) {
  }
  std::lock_guard<std::mutex> lock(impl_->reportsMutex);
  std::vector<json> taken;
  taken.swap(impl_->reports);
  return taken;
}

}  // namespace velmar
