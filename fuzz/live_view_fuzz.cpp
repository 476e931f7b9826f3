// velmar's live view as any local program can reach it: the bytes of an
// HTTP request (Host and Origin checks, the upgrade to the page's
// WebSocket) and, once the server agreed to the upgrade, the bytes of the
// client's frames (the page's reports among them). They go through a real
// connection to a real server on 127.0.0.1, so every byte meets the code
// "velmar serve" runs.
//
// The first piece of the input is the request ("{PORT}" stands for the
// server's port, which the system picks); the further pieces are sent, as
// one stream, only after a 101 answer. Every request must be answered (or
// the connection closed) and the connection ended once the client stops
// sending; a server that keeps either waiting fails the run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "isolation.h"
#include "live_server.h"

namespace {

velmar::LiveServer* server = nullptr;
constexpr auto kAnswerLimit = std::chrono::seconds(5);
// How long an upgrade's answer is waited for before the frames are sent.
constexpr auto kUpgradeWait = std::chrono::milliseconds(200);

void Fail(const char* what) {
  std::fprintf(stderr, "live view: %s\n", what);
  __builtin_trap();
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the server closed: the rest is not wanted
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads into answer until the predicate holds, the server closes, or the
// deadline passes: a hang, which fails the run, unless only waiting is
// asked for (hangOnDeadline false).
template <typename Done>
void ReadUntil(int fd, std::string& answer, Done done, std::chrono::steady_clock::time_point deadline,
               bool hangOnDeadline = true) {
  char buffer[65536];
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      if (!hangOnDeadline) return;
      Fail("no answer or no end within the limit");
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // closed (or reset): nothing more comes
    answer.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string WithPort(std::string_view text) {
  const std::string port = std::to_string(server->port());
  std::string out(text);
  for (std::size_t at = out.find("{PORT}"); at != std::string::npos; at = out.find("{PORT}", at + port.size()))
    out.replace(at, 6, port);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  livelink_test::Isolated();
  velmar::LiveServerOptions options;
  options.port = 0;
  std::string error;
  static std::unique_ptr<velmar::LiveServer> started = velmar::LiveServer::Start(options, &error);
  if (started == nullptr) {
    std::fprintf(stderr, "live view: cannot start the server: %s\n", error.c_str());
    std::abort();
  }
  server = started.get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto pieces = corv_fuzz::Pieces(data, size);
  const std::string request = WithPort(pieces[0]);
  std::string frames;
  for (std::size_t i = 1; i < pieces.size(); ++i) frames.append(pieces[i]);

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  std::string answer;
  bool open = SendAll(fd, request);
  if (open && pieces.size() > 1) {
    // The frames follow the upgrade's answer, as a browser sends them. A
    // request that is not complete yet gets no answer until the client
    // stops sending: then the frames are not sent at all.
    ReadUntil(
        fd, answer, [&] { return answer.find("\r\n\r\n") != std::string::npos; },
        std::chrono::steady_clock::now() + kUpgradeWait, false);
    if (answer.rfind("HTTP/1.1 101", 0) == 0) SendAll(fd, frames);
  }
  ::shutdown(fd, SHUT_WR);
  ReadUntil(
      fd, answer, [] { return false; }, deadline);  // to the server's close
  // HTTP/1.0 requests are answered in 1.0, everything else (refusals too) in 1.1.
  if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0 && answer.rfind("HTTP/1.0 ", 0) != 0)
    Fail("an answer that is not HTTP");
  // A reset, not a lingering close: millions of connections must not use
  // up the loopback's ports.
  linger off{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  ::close(fd);
  server->TakeReports();  // as velmar does; otherwise they pile up
  return 0;
}
