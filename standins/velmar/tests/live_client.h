// A raw-socket client of velmar's live view for its tests: HTTP requests
// written byte for byte (malformed ones included) and a minimal WebSocket
// client that reads whole messages, so that the tests see exactly what a
// browser, or a hostile page, would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace live_test {

// A TCP connection to 127.0.0.1 (or another loopback address); closed on
// destruction.
class Socket {
 public:
  // Connects; !ok() when refused (errorCode() says why).
  Socket(const std::string& address, std::uint16_t port);
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  bool ok() const { return fd_ >= 0; }
  int errorCode() const { return error_; }
  bool Send(const std::string& bytes);
  // Up to max bytes, waiting at most timeoutMs for the first; empty at the
  // end of the stream or on timeout.
  std::string Receive(std::size_t max, int timeoutMs);
  // Exactly n bytes, or false.
  bool ReceiveExactly(std::size_t n, std::string* out, int timeoutMs);
  // Everything up to the end of the stream (the server closes).
  std::string ReceiveAll(int timeoutMs);
  // The HTTP head (through the empty line); the rest stays buffered.
  std::string ReceiveHead(int timeoutMs);

 private:
  int fd_ = -1;
  int error_ = 0;
  std::string pending_;
};

struct Response {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
};

// Sends raw bytes as one request on a new connection and reads the answer
// up to the connection's close (error answers close) or its Content-Length.
Response Exchange(std::uint16_t port, const std::string& request, int timeoutMs = 10000);
// A well-formed GET with the given Host.
Response Get(std::uint16_t port, const std::string& path, const std::string& host);

// A WebSocket to the live view. Handshake: the response's status (101 when
// accepted).
class WebSocket {
 public:
  WebSocket(std::uint16_t port, const std::string& origin, const std::string& host = "");
  int status() const { return status_; }
  Socket& socket() { return socket_; }
  // The next whole message (fragments joined); false on close or timeout.
  bool Next(std::vector<std::uint8_t>* message, bool* text, int timeoutMs);
  // A masked text message, as a page sends.
  bool SendText(const std::string& text);

 private:
  Socket socket_;
  int status_ = 0;
};

}  // namespace live_test
